// A configuration server on a free loopback port with its own settings file,
// trap sender and working directory, for tests of the management pages over
// real sockets. One server per test suite; each test starts from an empty
// settings file. Pages are parsed into PageDoc for the checks.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "TestSupport.h"
#include "config/ConfigFileSupport.h"
#include "notify/EmailCenter.h"
#include "notify/KvoSnmpTrap.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"
#include "pages/HttpOmxResponser.h"

namespace kvotest {

// One page document as the browser gets it.
struct PageDoc {
    explicit PageDoc(const std::string& text) : body(text) { doc.Parse(body.c_str()); }
    // Looked up each time: a copied document has its own nodes.
    const TiXmlElement* Root() const { return doc.FirstChildElement("kvo_omx_page"); }
    bool ok() const { return Root() != nullptr; }
    std::string Title() const { return ok() && Root()->Attribute("title") ? Root()->Attribute("title") : ""; }
    // The element at a path of names below the root ("snmp/information"); null if missing.
    const TiXmlElement* At(const std::string& path) const {
        const TiXmlElement* e = Root();
        size_t start = 0;
        while (e && start <= path.size()) {
            size_t slash = path.find('/', start);
            std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            e = e->FirstChildElement(name.c_str());
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        return e;
    }
    std::string Text(const std::string& path) const {
        const TiXmlElement* e = At(path);
        return e && e->GetText() ? e->GetText() : "";
    }
    bool Has(const std::string& path) const { return At(path) != nullptr; }
    // The n-th child of `parent` named `name` (0-based); null when there are fewer.
    const TiXmlElement* Nth(const TiXmlElement* parent, const char* name, int n) const {
        const TiXmlElement* e = parent ? parent->FirstChildElement(name) : nullptr;
        for (; e && n > 0; --n) e = e->NextSiblingElement(name);
        return e;
    }
    static std::string LeafText(const TiXmlElement* parent, const char* name) {
        const TiXmlElement* e = parent ? parent->FirstChildElement(name) : nullptr;
        return e && e->GetText() ? e->GetText() : "";
    }
    // Messages of one "type" attribute ("error", "info", ...), in order.
    std::vector<std::string> Messages(const std::string& type) const {
        std::vector<std::string> out;
        for (const TiXmlElement* m = Nth(At("messages"), "message", 0); m; m = m->NextSiblingElement("message"))
            if (m->Attribute("type") && type == m->Attribute("type")) out.push_back(m->GetText() ? m->GetText() : "");
        return out;
    }
    std::vector<std::string> Errors() const { return Messages("error"); }

    std::string body;
    TiXmlDocument doc;
};

class PageServerFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_ = new Shared(); }
    static void TearDownTestSuite() {
        delete s_;
        s_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(s_ && s_->running);
        // A fresh, empty settings file and trap sender for every test.
        std::filesystem::remove(ConfigPath());
        std::filesystem::remove(EmailPath());
        Config().Initialize(ConfigPath().c_str());
        Config().LoadFile();
        for (int n = 1; n <= KvoSnmpTrap::kReceiverCount; ++n) Trap().SetTrapTarget(n, "", 0, nullptr);
        Trap().SetTrapLevel(0);
        Trap().SetCommunity(KvoSnmpTrap::kDefaultCommunity);
    }

    // The whole answer of one request on a new connection; the body after the headers.
    // `limit` bounds the wait for the whole answer (a test mail may wait 2 s for a reply).
    static std::string Exchange(const std::string& request,
                                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        int fd = ConnectLoopback(s_->port);
        if (fd < 0) return "";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string answer = ReadAll(fd, limit);
        close(fd);
        size_t end = answer.find("\r\n\r\n");
        return end == std::string::npos ? "" : answer.substr(end + 4);
    }
    static PageDoc Get(const std::string& target) {
        return PageDoc(Exchange("GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
    }
    static PageDoc Post(const std::string& target, const std::string& body,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return PageDoc(Exchange("POST " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body,
                                limit));
    }

    static ConfigFileSupport& Config() { return s_->config; }
    static KvoSnmpTrap& Trap() { return s_->trap; }
    static EmailCenter& Email() { return s_->email; }
    static std::string EmailPath() { return s_->tmp.file("kvoomxemail.conf"); }
    static HttpOmxResponser& Responder() { return *s_->responder; }
    static std::string ConfigPath() { return s_->tmp.file("kvoomxsvr.conf"); }
    static const TempDir& Dir() { return s_->tmp; }

    // What a second store reads from the file: every change must be on disk.
    static std::string StoredText(const char* path, const char* key) {
        ConfigFileSupport fromDisk;
        fromDisk.Initialize(ConfigPath().c_str());
        char buffer[64] = {0};
        if (!fromDisk.GetConfigValue(path, key, buffer, sizeof buffer)) return "<missing>";
        return buffer;
    }

private:
    struct Shared {
        Shared() {
            char cwd[4096];
            if (!getcwd(cwd, sizeof cwd)) return;
            oldCwd = cwd;
            std::string work = tmp.file("work");
            std::filesystem::create_directories(work);
            std::filesystem::copy(std::string(KVO_SOURCE_DIR) + "/share/HTML", work + "/HTML",
                                  std::filesystem::copy_options::recursive);
            if (chdir(work.c_str()) != 0) return;
            config.Initialize(tmp.file("kvoomxsvr.conf").c_str());
            // A test mail's server gets 2 s per reply instead of 10 s.
            SmtpOptions testMail;
            testMail.waitBound = std::chrono::seconds(2);
            auto owned = std::make_unique<HttpOmxResponser>(testMail);
            responder = owned.get();
            responder->SetRootFolder((std::string(KVO_SOURCE_DIR) + "/share/webguiroot/").c_str());
            responder->m_pConfig = &config;
            responder->m_pTrap = &trap;
            email.InitEmailCenter(tmp.file("kvoomxemail.conf"));
            responder->m_pEmailCenter = &email;
            port = FreeTcpPort();
            server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                     std::move(owned), 0, 0);
            running = server->Run() == 0;
        }
        ~Shared() {
            if (server) server->ShutDown();
            server.reset();
            if (!oldCwd.empty() && chdir(oldCwd.c_str()) != 0) { /* the scratch folder goes anyway */ }
        }
        TempDir tmp;
        std::string oldCwd;
        ConfigFileSupport config;
        KvoSnmpTrap trap;
        EmailCenter email;
        HttpOmxResponser* responder = nullptr;  // owned by the server
        int port = 0;
        std::unique_ptr<GenericServer> server;
        bool running = false;
    };
    static inline Shared* s_ = nullptr;
};

}  // namespace kvotest
