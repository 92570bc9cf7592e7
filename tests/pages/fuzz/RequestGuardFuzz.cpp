// Harness: the request guard (Authorization, Origin, Referer, Sec-Fetch-Site,
// Host) and the Accept check on any parsed request. Cross-site changes are
// never allowed; a login is needed for everything but the right password; the
// verdict does not depend on whether a good credential was seen before; a
// list naming text/html plainly is taken as HTML.
#include <string>

#include "fuzz/FuzzInput.h"
#include "http/HttpParser.h"
#include "http/RequestGuard.h"
#include "pages/StylesheetRenderer.h"

using namespace kvofuzz;

namespace {

// sha512-crypt of "secret" with the fewest rounds: quick enough for every run.
const char kHash[] = "$6$rounds=1000$kvofuzz$mfHsv6MV2dT7E4FPB8MmP7iYySkJ35xKcs0XdKeRkdYl/2rI51itQhEjHQV8nmrFF38a6ESQeAWscwJPVhShU.";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    bool withPassword = input.Flag();
    bool changes = input.Flag();
    std::string request = input.Rest();
    HttpParser parser;
    parser.Parse(request);

    RequestGuard guard;
    guard.SetFailureDelay(std::chrono::milliseconds(0));
    if (withPassword) Expect(guard.SetAdminPassword(kHash), "hash refused");
    RequestGuard::Verdict verdict = guard.Check(parser, changes);
    bool crossSite = RequestGuard::IsCrossSite(parser);
    Expect(crossSite == RequestGuard::IsCrossSite(parser), "cross-site check not repeatable");
    if (changes && crossSite) Expect(verdict != RequestGuard::ALLOW, "cross-site change allowed");
    if (!withPassword) Expect(verdict != RequestGuard::NEED_LOGIN, "login asked without a password");
    if (withPassword && verdict == RequestGuard::ALLOW)
        Expect(parser.m_authorization.find_first_not_of(" \t") != std::string::npos, "allowed without credentials");
    // After a good login the same request gets the same verdict.
    if (withPassword) {
        HttpParser good;
        good.Parse("GET / HTTP/1.0\r\nAuthorization: Basic YWRtaW46c2VjcmV0\r\n\r\n");
        Expect(guard.Check(good, false) == RequestGuard::ALLOW, "the right password refused");
        Expect(guard.Check(parser, changes) == verdict, "verdict changed after a good login");
    }

    bool html = StylesheetRenderer::AcceptsHtml(parser.m_accept);
    Expect(html == StylesheetRenderer::AcceptsHtml(parser.m_accept), "accept check not repeatable");
    Expect(StylesheetRenderer::AcceptsHtml(parser.m_accept + ",text/html"), "plain text/html not taken");
    return 0;
}
