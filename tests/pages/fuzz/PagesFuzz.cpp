// Harness: the form handling of the controllers, SNMP and e-mail pages. A
// request from the input is parsed and applied to fresh settings files (no
// mail server set, so nothing leaves the process), then: the page sent is
// well-formed XML 1.0 to libxml2, and every settings file written passes the
// settings checks (libxml2 reads it, our reader gives the same document).
#include <cstdlib>
#include <string>

#include "config/ConfigFileSupport.h"
#include "config/XmlText.h"
#include "fuzz/SettingsFuzzSupport.h"
#include "notify/EmailCenter.h"
#include "pages/HttpOmxResponser.h"
#include "http/HttpParser.h"
#include "pages/XmlDocForWeb.h"

using namespace kvofuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QuietLog quiet;
    static const bool noDriver = [] {
        setenv("KVOOMX_DRIVER_DIR", ScratchDir().c_str(), 1);  // no controllers
        return true;
    }();
    (void)noDriver;
    FuzzInput input(data, size);
    int page = input.Byte() % 3;
    std::string request = input.Rest();
    std::string configFile = ScratchDir() + "/kvoomxsvr.conf";
    std::string emailFile = ScratchDir() + "/kvoomxemail.conf";
    {
        ConfigFileSupport config;
        config.SetLogImp(&quiet);
        config.Initialize(configFile.c_str());
        EmailCenter email;
        email.SetLogImp(&quiet);
        email.InitEmailCenter(emailFile);
        HttpOmxResponser pages;
        pages.m_pConfig = &config;
        pages.m_pEmailCenter = &email;

        HttpParser parser;
        parser.Parse(request);
        XmlDocForWeb* built = page == 0   ? pages.ControllersManagement(&parser)
                              : page == 1 ? pages.SNMPManagement(&parser)
                                          : pages.EmailManagement(&parser);
        Expect(built != nullptr, "no page");
        std::unique_ptr<XmlDocForWeb> doc(built);
        doc->DropUnwritableText();
        std::string text;
        Expect(SettingsFileWriter::Render(*doc, text), "page does not print");
        if (!LibxmlReads(text)) {
            std::fprintf(stderr, "page:\n%s\n", text.c_str());
            Broken("page is not well-formed XML 1.0");
        }
        config.SyncFile();
        CheckWrittenFile(configFile);
        CheckWrittenFile(emailFile);
    }
    EmptyScratch();
    return 0;
}
