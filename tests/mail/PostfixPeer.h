// PostfixPeer: the local postfix test peer prepared by scripts/setup.d/postfix.sh
// (port and account in /var/lib/kvoomx-test), and the hold queue where it keeps
// every mail it accepts. Used from one test thread; each test finds and deletes
// only the mails that carry its own token.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace kvotest {

struct HeldMail {
    std::string id;
    std::string text;  // headers and body as postcat shows them
    std::vector<std::string> recipients;
};

class PostfixPeer {
public:
    // Reads the set-up's files and checks the peer answers; `why` tells what is missing.
    bool Load(std::string* why) {
        if (geteuid() != 0) return Fail(why, "not root: the hold queue cannot be read");
        std::ifstream portFile("/var/lib/kvoomx-test/smtp.port");
        if (!(portFile >> port)) return Fail(why, "postfix test peer not set up (run scripts/setup.d/postfix.sh)");
        std::ifstream auth("/var/lib/kvoomx-test/smtp.auth");
        std::string line;
        while (std::getline(auth, line)) {
            auto eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "user") user = value;
            if (key == "password") password = value;
            if (key == "domain") domain = value;
        }
        if (user.empty() || domain.empty()) return Fail(why, "postfix test account missing");
        int fd = ConnectLoopback(port);
        if (fd < 0) return Fail(why, "postfix test peer not listening on 127.0.0.1:" + std::to_string(port));
        close(fd);
        return true;
    }

    // A held mail whose text contains `token`; waits up to 10 s for it.
    std::optional<HeldMail> FindHeld(const std::string& token) {
        std::optional<HeldMail> found;
        WaitUntil([&] {
            for (auto& mail : HeldMails())
                if (mail.text.find(token) != std::string::npos) {
                    found = mail;
                    return true;
                }
            return false;
        });
        return found;
    }

    bool AnyHeldWith(const std::string& token) {
        for (auto& mail : HeldMails())
            if (mail.text.find(token) != std::string::npos) return true;
        return false;
    }

    void Delete(const std::string& id) { Run("postsuper -d " + id + " hold 2>/dev/null"); }

    std::string Address(const std::string& local) const { return local + "@" + domain; }

    // Reads the TLS listeners the set-up records in smtp.tls (after Load).
    bool LoadTls(std::string* why) {
        std::ifstream tls("/var/lib/kvoomx-test/smtp.tls");
        std::string line;
        while (std::getline(tls, line)) {
            auto eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "ca_file") caFile = value;
            int number = std::atoi(value.c_str());
            if (key == "starttls_port") starttlsPort = number;
            if (key == "tls_port") tlsPort = number;
            if (key == "untrusted_port") untrustedPort = number;
            if (key == "wronghost_port") wrongHostPort = number;
        }
        if (!starttlsPort || !tlsPort || !untrustedPort || !wrongHostPort || caFile.empty())
            return Fail(why, "postfix TLS listeners not set up (run scripts/setup.d/postfix.sh)");
        for (int p : {starttlsPort, tlsPort, untrustedPort, wrongHostPort}) {
            int fd = ConnectLoopback(p);
            if (fd < 0) return Fail(why, "postfix TLS listener not answering on 127.0.0.1:" + std::to_string(p));
            close(fd);
        }
        return true;
    }

    int port = 0;
    std::string user, password, domain;
    // TLS listeners: STARTTLS and TLS from the start with a certificate from the
    // test authority `caFile` (for localhost and 127.0.0.1); STARTTLS with an
    // untrusted authority's; TLS from the start for another host name.
    int starttlsPort = 0, tlsPort = 0, untrustedPort = 0, wrongHostPort = 0;
    std::string caFile;

private:
    static bool Fail(std::string* why, const std::string& text) {
        if (why) *why = text;
        return false;
    }

    static std::string Run(const std::string& command) {
        std::string out;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
        pclose(pipe);
        return out;
    }

    std::vector<HeldMail> HeldMails() {
        std::vector<HeldMail> mails;
        std::istringstream entries(Run("postqueue -j 2>/dev/null"));
        std::string entry;
        static const std::regex idRe("\"queue_id\": *\"([0-9A-Za-z]+)\"");
        static const std::regex addressRe("\"address\": *\"([^\"]*)\"");
        while (std::getline(entries, entry)) {
            std::smatch m;
            if (entry.find("\"queue_name\": \"hold\"") == std::string::npos || !std::regex_search(entry, m, idRe))
                continue;
            HeldMail mail;
            mail.id = m[1];
            for (std::sregex_iterator it(entry.begin(), entry.end(), addressRe), end; it != end; ++it)
                mail.recipients.push_back((*it)[1]);
            mail.text = Run("postcat -bh -q " + mail.id + " 2>/dev/null");
            mails.push_back(mail);
        }
        return mails;
    }
};

// A fresh token to tell this test's mails from others'.
inline std::string UniqueToken(const std::string& prefix) {
    std::random_device rd;
    char text[64];
    std::snprintf(text, sizeof text, "%s-%08x%08x", prefix.c_str(), rd(), rd());
    return text;
}

}  // namespace kvotest
