// Whole SendMail dialogues against the local postfix test peer (see
// scripts/setup.d/postfix.sh): LOGIN and HELO paths, 1 KiB body. The held
// mails are deleted afterwards. Prints nothing useful without the peer.
#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "RecordText.h"
#include "mail/GenSMTP.h"

namespace {

struct Peer {
    int port = 0;
    std::string user, password, domain;
    bool Load() {
        std::ifstream portFile("/var/lib/kvoomx-test/smtp.port");
        if (!(portFile >> port)) return false;
        std::ifstream auth("/var/lib/kvoomx-test/smtp.auth");
        std::string line;
        while (std::getline(auth, line)) {
            auto eq = line.find('=');
            if (eq == std::string::npos) continue;
            if (line.compare(0, eq, "user") == 0) user = line.substr(eq + 1);
            if (line.compare(0, eq, "password") == 0) password = line.substr(eq + 1);
            if (line.compare(0, eq, "domain") == 0) domain = line.substr(eq + 1);
        }
        return !user.empty();
    }
};

void SendMails(benchmark::State& state, bool login) {
    Peer peer;
    if (!peer.Load()) {
        state.SkipWithError("postfix test peer not set up");
        return;
    }
    SMTP_SERVER_INFO info;
    CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    info.uPort = static_cast<uint16_t>(peer.port);
    CopyField(info.szMailFrom, sizeof info.szMailFrom, "bench@sender.example");
    if (login) {
        info.byAuth = SMTP_AUTH_LOGIN;
        CopyField(info.szLoginName, sizeof info.szLoginName, peer.user);
        CopyField(info.szPassword, sizeof info.szPassword, peer.password);
    }
    std::vector<_MAIL_RECIPIENT_INFO> list(1);
    CopyField(list[0].szMailAddress, sizeof list[0].szMailAddress, "bench-mail@" + peer.domain);
    CopyField(list[0].szName, sizeof list[0].szName, "Bench");
    list[0].byLevel = 0x07;
    _MAIL_CONTENT mail;
    mail.byMailLevel = 0x04;
    mail.strSubject = "benchmark";
    mail.strBody = std::string(1024, 'x');
    GenSMTP smtp(info);
    for (auto _ : state)
        if (smtp.SendMail(list, 1, &mail) != 0) state.SkipWithError("mail refused");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_SendMailWithLogin(benchmark::State& state) { SendMails(state, true); }
void BM_SendMailHelo(benchmark::State& state) { SendMails(state, false); }

}  // namespace

BENCHMARK(BM_SendMailWithLogin)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SendMailHelo)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Drop the held benchmark mails (needs root; harmless otherwise).
    return std::system("postqueue -j 2>/dev/null | grep -o '\"queue_id\": \"[0-9A-Za-z]*\"[^}]*bench-mail@' |"
                       " cut -d'\"' -f4 | postsuper -d - hold >/dev/null 2>&1") < 0;
}
