// Cost of the configuration server's HTTP layer without the network: parsing a
// typical GET and POST, re-parsing a request that arrives in 2016-byte blocks
// up to the 64 KiB cap, and building a file response (read, header, copy)
// into a client that discards the bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "TestSupport.h"
#include "http/HttpParser.h"
#include "http/HttpResponser.h"
#include "http/HttpResponsor.h"

namespace {

const std::string kBrowserGet =
    "GET /xsl/controllers.xsl?x=1&y=a+b%2Bc HTTP/1.1\r\nHost: 192.168.1.20:7402\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0 Safari/537.36\r\nAccept: text/html,application/xhtml+xml,application/xml;q=0.9\r\n"
    "Accept-Language: en-US,en;q=0.9\r\nConnection: Keep-Alive\r\nCookie: a=1; b=2\r\n\r\n";

std::string FormPost() {
    std::string body;
    for (int i = 0; i < 40; ++i) body += "field_" + std::to_string(i) + "=value%20" + std::to_string(i) + "&";
    return "POST /email.cgi HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

void BM_ParseGet(benchmark::State& state) {
    HttpParser parser;
    for (auto _ : state) {
        parser.Clear();
        benchmark::DoNotOptimize(parser.Parse(kBrowserGet));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kBrowserGet.size()));
}
BENCHMARK(BM_ParseGet);

void BM_ParsePostForm(benchmark::State& state) {
    const std::string post = FormPost();
    HttpParser parser;
    for (auto _ : state) {
        parser.Clear();
        benchmark::DoNotOptimize(parser.Parse(post));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(post.size()));
}
BENCHMARK(BM_ParsePostForm);

// The receive loop parses the whole text again after every block; this is the
// worst a single request can cost before the cap ends it.
void BM_ReparseUpToCap(benchmark::State& state) {
    std::string text = "GET / HTTP/1.0\r\n";
    while (text.size() < HttpResponser::kMaxRequestBytes) text += "X-Filler: 0123456789abcdef\r\n";
    for (auto _ : state) {
        HttpParser parser;
        for (size_t end = 2016; end < text.size(); end += 2016)
            benchmark::DoNotOptimize(parser.Parse(text.substr(0, end)));
    }
}
BENCHMARK(BM_ReparseUpToCap)->Unit(benchmark::kMicrosecond);

class NullClient : public Client {
public:
    int PeekBuf(char*, int, int) override { return 0; }
    int ReceiveBuf(char*, int, int) override { return 0; }
    int SendBuf(const char*, int length, int) override { return length; }
    int GetStatus() override { return 1; }
    int GetStatistics(ClientStatisticsTag&) override { return 0; }
    int Close() override { return 0; }
    int WhenBroken(int code) override { return code; }
};

void BM_FileResponse(benchmark::State& state) {
    kvotest::TempDir dir;
    std::string file = dir.file("page.xsl");
    kvotest::WriteFileText(file, std::string(static_cast<size_t>(state.range(0)), 'x'));
    NullClient client;
    for (auto _ : state) benchmark::DoNotOptimize(HttpResponsor::ResponseGetFile(&client, file, true));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FileResponse)->Arg(1024)->Arg(15360)->Arg(100 * 1024)->Arg(1024 * 1024)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
