#include "mail/SmtpAuth.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/Text.h"
#include "RecordText.h"
#include "Client.h"
#include "mail/Base64.h"
#include "mail/CMd5A.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpReply.h"

namespace {

constexpr size_t kReplyLimit = 1023;  // a challenge must fit the 1024-byte reply buffer
constexpr size_t kChallengeCapacity = 1020;  // what GetCRAMkey's callers provide
constexpr unsigned int kDigestBytes = 16;

std::string Encode64(const std::string& bytes) {
    std::vector<char> out(4 * (bytes.size() / 3 + 1) + 1);
    int n = Base64::Base64Encode(out.data(), bytes.data(), static_cast<int>(bytes.size()));
    return std::string(out.data(), static_cast<size_t>(n));
}

// Ends an exchange the client gives up after a 334, so the server is not left
// waiting for a response and the next command is read as a command.
void CancelExchange(Client* client) {
    if (SendSmtpText(client, "*\r\n")) CheckCommandResponse(client, 501);
}

// One step of an exchange. A 334 where another code was expected leaves the
// server waiting for a response, so the exchange is given up with "*".
bool SendLineExpect(Client* client, const std::string& line, int expected) {
    if (!SendSmtpText(client, line + "\r\n")) return false;
    SmtpReply reply;
    reply.ReadFrom(client);
    if (reply.Code() == expected) return true;
    if (reply.Code() == 334) CancelExchange(client);
    return false;
}

std::string Md5Hex(CMd5A& md5, const std::string& data) {
    unsigned char digest[kDigestBytes];
    md5.Digest(data.data(), static_cast<unsigned int>(data.size()), digest);
    return Text::LowerHex(digest, sizeof digest);
}

const char* QopName(digest_md5_qop qop) {
    switch (qop) {
    case DIGEST_MD5_QOP_AUTH_INT: return "auth-int";
    case DIGEST_MD5_QOP_AUTH_CONF: return "auth-conf";
    default: return "auth";
    }
}

unsigned int SealingKeyLength(digest_md5_cipher cipher) {
    switch (cipher) {
    case DIGEST_MD5_CIPHER_RC4_40: return 5;
    case DIGEST_MD5_CIPHER_RC4_56: return 7;
    default: return 16;
    }
}

void DeriveKey(CMd5A& md5, const unsigned char* ha1, unsigned int ha1Len, const char* magic, char* out) {
    if (!out) return;
    std::string data(reinterpret_cast<const char*>(ha1), ha1Len);
    data += magic;
    md5.Digest(data.data(), static_cast<unsigned int>(data.size()), reinterpret_cast<unsigned char*>(out));
}

// Reads a challenge reply and copies its text after "334 " into `out`, which
// holds `capacity` bytes. Returns the code, or 0 when the reply did not arrive
// whole (then nothing of it is used); `tooLong` tells a reply that came but
// whose text does not fit.
int ReadChallenge(Client* client, char* out, size_t capacity, bool* tooLong) {
    SmtpReply reply;
    reply.ReadFrom(client);
    out[0] = '\0';
    *tooLong = false;
    if (!reply.Complete()) return 0;
    const std::string& text = reply.Text();
    std::string challenge = text.size() > 4 ? text.substr(4) : std::string();
    if (text.size() > kReplyLimit || challenge.size() >= capacity) {
        *tooLong = true;
        return reply.Code();
    }
    std::memcpy(out, challenge.c_str(), challenge.size() + 1);
    return reply.Code();
}

// Sends the AUTH command and reads the challenge. A 334 whose challenge is too
// long to handle is still a started exchange: it is cancelled, so the server
// does not take the next command for the answer.
bool StartChallenge(Client* client, const char* command, char* challengeText, size_t capacity) {
    if (!SendSmtpText(client, command)) return false;
    bool tooLong = false;
    int code = ReadChallenge(client, challengeText, capacity, &tooLong);
    if (code == 334 && tooLong) {
        CancelExchange(client);
        return false;
    }
    return code == 334;
}

}  // namespace

bool GetCRAMkey(Client* client, int expected, char* out) {
    bool tooLong = false;
    int code = ReadChallenge(client, out, kChallengeCapacity, &tooLong);
    return !tooLong && code == expected;
}

int FindKey(const char* text, const char* key, char* out) {
    if (!text || !key || !out) return -1;
    const char* found = std::strstr(text, key);
    if (!found) return -1;
    const char* keyEnd = found + std::strlen(key);
    // The value starts after the equals sign and the opening quote.
    if (keyEnd[0] == '\0' || keyEnd[1] == '\0') return -1;
    const char* value = keyEnd + 2;
    const char* end = std::strstr(value, "\",");
    if (!end) return -1;
    size_t length = static_cast<size_t>(end - value);
    std::memcpy(out, value, length);
    out[length] = '\0';
    return 0;
}

int digest_md5_hmac(char* output, const char* secret, const char* nonce, unsigned long nc,
                    const char* cnonce, digest_md5_qop qop, const char* authzid, const char* digestUri,
                    int rspauth, digest_md5_cipher cipher, char* kic, char* kis, char* kcc, char* kcs) {
    CMd5A md5;
    std::string a1(secret, kDigestBytes);
    a1 += ":";
    a1 += nonce;
    a1 += ":";
    a1 += cnonce;
    if (authzid && *authzid) {
        a1 += ":";
        a1 += authzid;
    }
    unsigned char ha1[kDigestBytes];
    md5.Digest(a1.data(), static_cast<unsigned int>(a1.size()), ha1);

    std::string a2 = rspauth ? ":" : "AUTHENTICATE:";
    a2 += digestUri;
    if (qop == DIGEST_MD5_QOP_AUTH_INT || qop == DIGEST_MD5_QOP_AUTH_CONF)
        a2 += ":00000000000000000000000000000000";

    char ncText[32];
    std::snprintf(ncText, sizeof ncText, "%08lx", nc);
    std::string kd = Text::LowerHex(ha1, sizeof ha1) + ":" + nonce + ":" + ncText + ":" + cnonce + ":" +
                     QopName(qop) + ":" + Md5Hex(md5, a2);
    std::string response = Md5Hex(md5, kd);
    std::memcpy(output, response.c_str(), response.size() + 1);

    DeriveKey(md5, ha1, kDigestBytes, "Digest session key to client-to-server signing key magic constant", kic);
    DeriveKey(md5, ha1, kDigestBytes, "Digest session key to server-to-client signing key magic constant", kis);
    unsigned int sealLen = SealingKeyLength(cipher);
    DeriveKey(md5, ha1, sealLen, "Digest H(A1) to client-to-server sealing key magic constant", kcc);
    DeriveKey(md5, ha1, sealLen, "Digest H(A1) to server-to-client sealing key magic constant", kcs);
    return 0;
}

int AuthLOGIN(Client* client, SMTP_SERVER_INFO* info) {
    std::string user = Encode64(FieldText(info->szLoginName));
    std::string password = Encode64(FieldText(info->szPassword));
    if (!SendLineExpect(client, "AUTH LOGIN", 334)) return SMTP_ERR_AUTH_START;
    if (!SendLineExpect(client, user, 334)) return SMTP_ERR_AUTH_USER;
    if (!SendLineExpect(client, password, 235)) return SMTP_ERR_AUTH_FAILED;
    return 0;
}

int AuthCRAM_MD5(Client* client, SMTP_SERVER_INFO* info) {
    char challengeText[1024];
    if (!StartChallenge(client, "AUTH CRAM-MD5\r\n", challengeText, sizeof challengeText)) return SMTP_ERR_AUTH_START;

    char challenge[512];
    if (Base64::Base64Decode(challenge, challengeText, sizeof challenge - 1) < 1) {
        CancelExchange(client);
        return SMTP_ERR_AUTH_START;
    }
    CMd5A md5;
    std::string password = FieldText(info->szPassword);
    std::string answer = FieldText(info->szLoginName) + " " + md5.hmac_md5(challenge, password.c_str());
    std::string encoded = Encode64(answer);
    if (encoded.empty()) {
        CancelExchange(client);
        return SMTP_ERR_AUTH_FAILED;
    }
    return SendLineExpect(client, encoded, 235) ? 0 : SMTP_ERR_AUTH_FAILED;
}

int AuthPLAIN(Client* client, SMTP_SERVER_INFO* info) {
    std::string user = FieldText(info->szLoginName);
    std::string message = user + '\0' + user + '\0' + FieldText(info->szPassword);
    std::string encoded = Encode64(message);
    if (encoded.empty()) return SMTP_ERR_AUTH_FAILED;
    return SendLineExpect(client, "AUTH PLAIN " + encoded, 235) ? 0 : SMTP_ERR_AUTH_FAILED;
}

// Departures from RFC 2831 kept for compatibility with the servers this client
// has always talked to: the server's nonce serves as cnonce, realm is always
// sent (empty when the server named none), cipher is named although qop is
// auth, and the server's rspauth is not checked.
int AuthDIGEST_MD5(Client* client, SMTP_SERVER_INFO* info) {
    char challengeText[1024];
    if (!StartChallenge(client, "AUTH DIGEST-MD5\r\n", challengeText, sizeof challengeText)) return SMTP_ERR_AUTH_START;

    char challenge[1024];
    if (Base64::Base64Decode(challenge, challengeText, std::strlen(challengeText)) < 1) {
        CancelExchange(client);
        return SMTP_ERR_AUTH_FAILED;
    }
    // Values are never longer than the challenge that holds them.
    char realm[1024] = {0};
    char nonce[1024] = {0};
    if (FindKey(challenge, "realm", realm) != 0) realm[0] = '\0';
    if (FindKey(challenge, "nonce", nonce) != 0) nonce[0] = '\0';

    std::string user = FieldText(info->szLoginName);
    std::string credentials = user + ":" + realm + ":" + FieldText(info->szPassword);
    CMd5A md5;
    char secret[kDigestBytes];
    std::memcpy(secret, md5.MDHexString(credentials.c_str()), kDigestBytes);

    std::string digestUri = "smtp/" + FieldText(info->szSMTPServer);
    char response[33];
    if (digest_md5_hmac(response, secret, nonce, 1, nonce, DIGEST_MD5_QOP_AUTH, nullptr, digestUri.c_str(),
                        0, DIGEST_MD5_CIPHER_RC4, nullptr, nullptr, nullptr, nullptr) != 0) {
        CancelExchange(client);
        return SMTP_ERR_AUTH_FAILED;
    }
    std::string answer = "username=\"" + user + "\",realm=\"" + realm + "\",nonce=\"" + nonce +
                         "\",cnonce=\"" + nonce +
                         "\",nc=00000001,qop=auth,cipher=\"rc4\",charset=utf-8,digest-uri=\"" + digestUri +
                         "\",response=" + response;
    std::string encoded = Encode64(answer);
    if (encoded.empty()) {
        CancelExchange(client);
        return SMTP_ERR_AUTH_FAILED;
    }
    if (!SendLineExpect(client, encoded, 334)) return SMTP_ERR_AUTH_FAILED;
    return SendLineExpect(client, "", 235) ? 0 : SMTP_ERR_AUTH_FAILED;
}
