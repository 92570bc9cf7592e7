// Cost of the configuration pages: one controllers page (build, save to its
// private file, read back, send, remove), one port form, one stylesheet, and
// the host lookup every page does. Two simulated controllers. The SNMP page
// and its form (two receivers and the levels, one save of the settings file),
// and the e-mail page with three recipients and its SMTP form (one save of the
// e-mail file).
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "SimulatorProcess.h"
#include "TestSupport.h"
#include "config/ConfigFileSupport.h"
#include "controller/kvoIO.h"
#include "notify/EmailCenter.h"
#include "notify/KvoSnmpTrap.h"
#include "pages/HttpOmxResponser.h"
#include "http/HttpParser.h"
#include "pages/PageHelpers.h"

namespace {

class CountingClient : public Client {
public:
    int PeekBuf(char*, int, int) override { return 0; }
    int ReceiveBuf(char*, int, int) override { return 0; }
    int SendBuf(const char*, int length, int) override {
        bytes += static_cast<size_t>(length);
        return length;
    }
    int GetStatus() override { return 0; }
    int GetStatistics(ClientStatisticsTag&) override { return 0; }
    int Close() override { return 0; }
    int WhenBroken(int) override { return 0; }
    size_t bytes = 0;
};

struct Setup {
    Setup() : sim(2) {
        sim.ExportDriverDir();
        kvoIO::GetInstance()->initialize();
        std::filesystem::create_directories(dir.path() + "/webroot/xsl");
        std::filesystem::copy_file(std::string(KVO_SOURCE_DIR) + "/share/webguiroot/xsl/controllers.xsl",
                                   dir.path() + "/webroot/xsl/controllers.xsl");
        if (chdir(dir.path().c_str()) != 0) abort();
        config.Initialize((dir.path() + "/kvoomxsvr.conf").c_str());
        responder.SetRootFolder((dir.path() + "/webroot/").c_str());
        responder.m_pConfig = &config;
        responder.m_pTrap = &trap;
        email.InitEmailCenter(dir.path() + "/kvoomxemail.conf");
        responder.m_pEmailCenter = &email;
        for (const char* who : {"ops", "night", "boss"}) {
            _MAIL_RECIPIENT_INFO recipient;
            snprintf(recipient.szMailAddress, sizeof recipient.szMailAddress, "%s@example.org", who);
            snprintf(recipient.szName, sizeof recipient.szName, "%s", who);
            recipient.byLevel = 0x06;
            email.EditRcpt(&recipient, RCPT_EDIT_ADD);
        }
    }
    kvotest::SimulatorProcess sim;
    kvotest::TempDir dir;
    ConfigFileSupport config;
    KvoSnmpTrap trap;
    EmailCenter email;
    HttpOmxResponser responder;
};

Setup& Shared() {
    static Setup setup;
    return setup;
}

void Answer(benchmark::State& state, const std::string& request) {
    Setup& s = Shared();
    size_t bytes = 0;
    for (auto _ : state) {
        HttpParser parser;
        parser.Parse(request);
        CountingClient client;
        s.responder.ProcessRequest(&client, &parser);
        bytes += client.bytes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_ControllersPage(benchmark::State& state) {
    Answer(state, "GET /controllers.cgi HTTP/1.0\r\nHost: 127.0.0.1:7402\r\n\r\n");
}
BENCHMARK(BM_ControllersPage)->Unit(benchmark::kMicrosecond);

void BM_PortFormPost(benchmark::State& state) {
    std::string body = "controller_httpport_0=7412&controller_cliport_0=7414";
    Answer(state, "POST /controllers.cgi HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body);
}
BENCHMARK(BM_PortFormPost)->Unit(benchmark::kMicrosecond);

std::string Post(const char* path, const std::string& body) {
    return std::string("POST ") + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

void BM_SnmpPage(benchmark::State& state) { Answer(state, "GET /snmp.cgi HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"); }
BENCHMARK(BM_SnmpPage)->Unit(benchmark::kMicrosecond);

void BM_SnmpFormPost(benchmark::State& state) {
    Answer(state, Post("/snmp.cgi", "func=SetSnmp&trap_port_1=162&trap_client_1=127.0.0.1&trap_port_2=1162"
                                    "&trap_client_2=127.0.0.2&trap_port_3=&trap_client_3=&check_warn=on&check_error=on"));
}
BENCHMARK(BM_SnmpFormPost)->Unit(benchmark::kMicrosecond);

void BM_EmailPage(benchmark::State& state) { Answer(state, "GET /email.cgi HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"); }
BENCHMARK(BM_EmailPage)->Unit(benchmark::kMicrosecond);

void BM_EmailSmtpFormPost(benchmark::State& state) {
    Answer(state, Post("/email.cgi", "func=SetSmtp&smtpadd=mail.example.org&fromadd=raid%40example.org"
                                     "&lognamedd=raid&passdd=secret&port=587&enable=on"));
}
BENCHMARK(BM_EmailSmtpFormPost)->Unit(benchmark::kMicrosecond);

void BM_Stylesheet(benchmark::State& state) {
    Answer(state, "GET /controllers.xsl HTTP/1.0\r\n\r\n");
}
BENCHMARK(BM_Stylesheet)->Unit(benchmark::kMicrosecond);

void BM_GetHostName(benchmark::State& state) {
    std::string name, address;
    for (auto _ : state) {
        GetHostName(name, address);
        benchmark::DoNotOptimize(address);
    }
}
BENCHMARK(BM_GetHostName)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
