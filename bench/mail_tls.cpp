// One whole SendMail (login, 1 KiB body) through the local postfix test peer in
// plain text, with STARTTLS and with TLS from the start (certificate checked
// against the set-up's test authority). Each repetition is one mail; the median
// of the repetitions is the figure to read. Needs scripts/setup.d/postfix.sh.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RecordText.h"
#include "mail/PostfixPeer.h"
#include "mail/GenSMTP.h"

namespace {

kvotest::PostfixPeer* LoadedPeer() {
    static kvotest::PostfixPeer peer;
    static const bool loaded = peer.Load(nullptr) && peer.LoadTls(nullptr);
    return loaded ? &peer : nullptr;
}

void SendOneMail(benchmark::State& state, uint8_t security) {
    kvotest::PostfixPeer* peer = LoadedPeer();
    if (!peer) {
        state.SkipWithError("postfix TLS test peer not set up");
        return;
    }
    SMTP_SERVER_INFO info;
    CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    int port = security == SMTP_SECURITY_STARTTLS ? peer->starttlsPort
               : security == SMTP_SECURITY_TLS    ? peer->tlsPort
                                                  : peer->port;
    info.uPort = static_cast<uint16_t>(port);
    info.bySecurity = security;
    CopyField(info.szMailFrom, sizeof info.szMailFrom, "bench@sender.example");
    info.byAuth = SMTP_AUTH_LOGIN;
    CopyField(info.szLoginName, sizeof info.szLoginName, peer->user);
    CopyField(info.szPassword, sizeof info.szPassword, peer->password);

    std::vector<_MAIL_RECIPIENT_INFO> list(1);
    CopyField(list[0].szMailAddress, sizeof list[0].szMailAddress, "bench-tls@" + peer->domain);
    CopyField(list[0].szName, sizeof list[0].szName, "Bench");
    list[0].byLevel = 0x07;
    _MAIL_CONTENT mail;
    mail.byMailLevel = 0x04;
    mail.strSubject = "benchmark";
    mail.strBody = std::string(1024, 'x');
    GenSMTP smtp(info);
    smtp.SetTrustedAuthorities(peer->caFile);
    for (auto _ : state)
        if (smtp.SendMail(list, 1, &mail) != 0) state.SkipWithError(smtp.GetFailureReason().c_str());
}

void BM_MailPlain(benchmark::State& state) { SendOneMail(state, SMTP_SECURITY_NONE); }
void BM_MailStartTls(benchmark::State& state) { SendOneMail(state, SMTP_SECURITY_STARTTLS); }
void BM_MailTlsFromStart(benchmark::State& state) { SendOneMail(state, SMTP_SECURITY_TLS); }

}  // namespace

BENCHMARK(BM_MailPlain)->Iterations(1)->Repetitions(25)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MailStartTls)->Iterations(1)->Repetitions(25)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MailTlsFromStart)->Iterations(1)->Repetitions(25)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Drop the held benchmark mails (needs root; harmless otherwise).
    return std::system("postqueue -j 2>/dev/null | grep -o '\"queue_id\": \"[0-9A-Za-z]*\"[^}]*bench-tls@' |"
                       " cut -d'\"' -f4 | postsuper -d - hold >/dev/null 2>&1") < 0;
}
