// The four SMTP AUTH exchanges (LOGIN, CRAM-MD5, PLAIN, DIGEST-MD5) run by GenSMTP
// on its open connection right after EHLO, and their helpers. Free functions on
// the caller's thread; nothing is shared between calls.
#pragma once

#include "SMTP_SERVER_INFO.h"

class Client;

constexpr int SMTP_ERR_AUTH_START = static_cast<int>(0xC0000019u);
constexpr int SMTP_ERR_AUTH_USER = static_cast<int>(0xC000001Au);
constexpr int SMTP_ERR_AUTH_FAILED = static_cast<int>(0xC000001Bu);

enum digest_md5_qop { DIGEST_MD5_QOP_AUTH = 1, DIGEST_MD5_QOP_AUTH_INT = 2, DIGEST_MD5_QOP_AUTH_CONF = 4 };
enum digest_md5_cipher { DIGEST_MD5_CIPHER_RC4 = 4, DIGEST_MD5_CIPHER_RC4_40 = 8, DIGEST_MD5_CIPHER_RC4_56 = 16 };

// Each returns 0 when the server answered 235, else an SMTP_ERR_AUTH_* code.
// A failed exchange leaves the connection ready for the next command.
int AuthLOGIN(Client* client, SMTP_SERVER_INFO* info);
int AuthCRAM_MD5(Client* client, SMTP_SERVER_INFO* info);
int AuthPLAIN(Client* client, SMTP_SERVER_INFO* info);
int AuthDIGEST_MD5(Client* client, SMTP_SERVER_INFO* info);

// Reads one reply and copies its text after the code ("334 ") into `out`
// (at least 1020 bytes), line end included. True when the code is `expected`.
bool GetCRAMkey(Client* client, int expected, char* out);

// Copies the value of directive `key` of a DIGEST-MD5 challenge into `out`
// (which must hold as many bytes as `text`): the value must be quoted and be
// followed by a comma. 0 when found, -1 otherwise.
int FindKey(const char* text, const char* key, char* out);

// The RFC 2831 response value (32 hex characters and a NUL into `output`) from
// the 16 raw bytes H(user:realm:password) in `secret`. `rspauth` non-zero gives
// the server's rspauth form. Each key output (16 bytes) may be null. Returns 0.
int digest_md5_hmac(char* output, const char* secret, const char* nonce, unsigned long nc,
                    const char* cnonce, digest_md5_qop qop, const char* authzid, const char* digestUri,
                    int rspauth, digest_md5_cipher cipher, char* kic, char* kis, char* kcc, char* kcs);
