// The configuration-page responder: dispatch by path, the controllers page and
// its port form, the host address shown, and the page file's life on disk.
// Requests go through the real parser; answers are captured by a client that
// records what is sent. The simulator supplies the controllers (two of them).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "SimulatorProcess.h"
#include "TestSupport.h"
#include "pages/WebTestSimulator.h"
#include "config/ConfigFileSupport.h"
#include "controller/kvoIO.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"
#include "pages/HttpOmxResponser.h"
#include "http/HttpParser.h"
#include "pages/PageHelpers.h"

namespace {

namespace fs = std::filesystem;

// Records every send; can be told to fail them, and to look around while sending.
class RecordingClient : public Client {
public:
    int PeekBuf(char*, int, int) override { return 0; }
    int ReceiveBuf(char*, int, int) override { return 0; }
    int SendBuf(const char* data, int length, int) override {
        if (duringSend) duringSend();
        if (failSends) return -1;
        sent.append(data, static_cast<size_t>(length));
        return length;
    }
    int GetStatus() override { return 0; }
    int GetStatistics(ClientStatisticsTag&) override { return 0; }
    int Close() override { return 0; }
    int WhenBroken(int) override { return 0; }

    std::string sent;
    bool failSends = false;
    std::function<void()> duringSend;
};

struct Answer {
    bool keepAlive = false;
    std::string status;
    std::string headers;
    std::string body;
};

// The two controllers of every test here; started once on the main thread.
kvotest::SimulatorProcess* Simulator() { return kvotest::WebTestSimulator(); }

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (!entry.is_directory()) names.push_back(entry.path().filename().string());
    return names;
}

class HttpOmxResponserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NE(Simulator(), nullptr);
        ASSERT_TRUE(Simulator()->ok()) << Simulator()->Log();
        ASSERT_EQ(2u, kvoIO::GetInstance()->getControllerCount());
    }

    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
        m_oldCwd = cwd;
        // Page files and the error pages live in the working directory.
        m_work = m_tmp.path() + "/work";
        fs::create_directories(m_work);
        fs::copy(std::string(KVO_SOURCE_DIR) + "/share/HTML", m_work + "/HTML",
                 fs::copy_options::recursive);
        m_root = m_tmp.path() + "/webroot/";
        fs::create_directories(m_root + "xsl");
        fs::create_directories(m_root + "images/images");
        kvotest::WriteFileText(m_root + "xsl/controllers.xsl", "<!-- the controllers stylesheet -->");
        kvotest::WriteFileText(m_root + "images/images/a.gif", "GIF89a nested image");
        kvotest::WriteFileText(m_tmp.path() + "/secret.xsl", "outside the web root");
        ASSERT_EQ(0, chdir(m_work.c_str()));

        m_configPath = m_tmp.path() + "/kvoomxsvr.conf";
        m_config.Initialize(m_configPath.c_str());
        m_responder.SetRootFolder(m_root.c_str());
        m_responder.m_pConfig = &m_config;
    }

    void TearDown() override { ASSERT_EQ(0, chdir(m_oldCwd.c_str())); }

    Answer Send(const std::string& request, RecordingClient& client) {
        HttpParser parser;
        EXPECT_EQ(HttpParser::PARSE_DONE, parser.Parse(request)) << request;
        Answer answer;
        answer.keepAlive = m_responder.ProcessRequest(&client, &parser);
        size_t end = client.sent.find("\r\n\r\n");
        if (end == std::string::npos) return answer;
        answer.headers = client.sent.substr(0, end + 2);
        answer.status = answer.headers.substr(0, answer.headers.find("\r\n"));
        answer.body = client.sent.substr(end + 4);
        return answer;
    }

    Answer Get(const std::string& target, const std::string& headers = "Host: 127.0.0.1:7402\r\n") {
        RecordingClient client;
        return Send("GET " + target + " HTTP/1.0\r\n" + headers + "\r\n", client);
    }

    Answer Post(const std::string& target, const std::string& body) {
        RecordingClient client;
        return Send("POST " + target + " HTTP/1.0\r\nHost: 127.0.0.1:7402\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body,
                    client);
    }

    uint16_t Stored(int controller, const char* key, bool* found = nullptr) {
        // A second store reads the file itself: every change must be saved at once.
        ConfigFileSupport fromDisk;
        fromDisk.Initialize(m_configPath.c_str());
        uint16_t value = 0;
        std::string path = "/root/controller" + std::to_string(controller);
        int ok = fromDisk.GetConfigValue_U16(path.c_str(), key, value);
        if (found) *found = ok == 1;
        return value;
    }

    void Store(int controller, const char* key, uint16_t value) {
        std::string path = "/root/controller" + std::to_string(controller);
        m_config.SetConfigValue_U16(path.c_str(), key, value);
    }

    kvotest::TempDir m_tmp;
    std::string m_oldCwd;
    std::string m_work;
    std::string m_root;
    std::string m_configPath;
    ConfigFileSupport m_config;
    HttpOmxResponser m_responder;
};

// The controllers page as the browser gets it.
struct ControllersPage {
    explicit ControllersPage(const std::string& body) {
        doc.Parse(body.c_str());
        root = doc.FirstChildElement("kvo_omx_page");
    }
    bool ok() const { return root != nullptr; }
    std::string Title() const { return root && root->Attribute("title") ? root->Attribute("title") : ""; }
    std::string Port(int id, const char* key) const {
        const TiXmlElement* c = Controller(id);
        const TiXmlElement* leaf = c ? c->FirstChildElement(key) : nullptr;
        return leaf && leaf->GetText() ? leaf->GetText() : "";
    }
    const TiXmlElement* Controller(int id) const {
        const TiXmlElement* list = root ? root->FirstChildElement("controllers") : nullptr;
        for (const TiXmlElement* c = list ? list->FirstChildElement("controller") : nullptr; c;
             c = c->NextSiblingElement("controller")) {
            int value = -1;
            if (c->QueryIntAttribute("id", &value) == TIXML_SUCCESS && value == id) return c;
        }
        return nullptr;
    }
    int ControllerCount() const {
        int n = 0;
        const TiXmlElement* list = root ? root->FirstChildElement("controllers") : nullptr;
        for (const TiXmlElement* c = list ? list->FirstChildElement("controller") : nullptr; c;
             c = c->NextSiblingElement("controller"))
            ++n;
        return n;
    }
    bool HasIp() const { return root && root->FirstChildElement("ip"); }
    std::string Ip() const {
        const TiXmlElement* ip = root ? root->FirstChildElement("ip") : nullptr;
        return ip && ip->GetText() ? ip->GetText() : "";
    }
    std::vector<std::string> Errors() const {
        std::vector<std::string> out;
        const TiXmlElement* list = root ? root->FirstChildElement("messages") : nullptr;
        for (const TiXmlElement* m = list ? list->FirstChildElement("message") : nullptr; m;
             m = m->NextSiblingElement("message"))
            if (m->Attribute("type") && std::string(m->Attribute("type")) == "error")
                out.push_back(m->GetText() ? m->GetText() : "");
        return out;
    }

    TiXmlDocument doc;
    const TiXmlElement* root = nullptr;
};

const char kPortMessage[] = "Port number should be in the range 1 to 65535.";

TEST_F(HttpOmxResponserTest, PagePathsAreAnsweredWithAFreshControllersPage) {
    // The root, the page document's own name, any log file and a path whose
    // extension differs only in case all get a page built now, never a file.
    kvotest::WriteFileText(m_work + "/controllers.xml", "<stale/>");
    for (const char* target : {"/", "/controllers.xml", "/events.log", "/dir/x.log", "/index.HTM",
                               "/controllers.cgi", "/nothing-registered"}) {
        Answer answer = Get(target);
        EXPECT_EQ("HTTP/1.0 200 OK", answer.status) << target;
        EXPECT_NE(std::string::npos, answer.headers.find("Content-Type: application/xml\r\n")) << target;
        ControllersPage page(answer.body);
        ASSERT_TRUE(page.ok()) << target << "\n" << answer.body;
        EXPECT_EQ("Controller Management", page.Title());
        EXPECT_EQ(2, page.ControllerCount()) << target;
        EXPECT_NE(std::string::npos, answer.body.find("<?xml-stylesheet type=\"text/xsl\" href=\"controllers.xsl\" ?>"))
            << answer.body;
    }
}

TEST_F(HttpOmxResponserTest, StylesheetsAndImagesComeFromTheirWebRootFolders) {
    Answer xsl = Get("/controllers.xsl");
    EXPECT_EQ("HTTP/1.0 200 OK", xsl.status);
    EXPECT_EQ("<!-- the controllers stylesheet -->", xsl.body);
    EXPECT_NE(std::string::npos, xsl.headers.find("Content-Type: application/xml\r\n"));

    // The whole path is kept below images/, directories included.
    Answer gif = Get("/images/a.gif");
    EXPECT_EQ("HTTP/1.0 200 OK", gif.status);
    EXPECT_EQ("GIF89a nested image", gif.body);

    Answer missing = Get("/a.gif");
    EXPECT_EQ("HTTP/1.0 404 Resource not found", missing.status);
    EXPECT_FALSE(missing.keepAlive);
    EXPECT_EQ(kvotest::ReadFileText(m_work + "/HTML/fnf.html"), missing.body);

    // A parent segment would leave the web root: refused like a missing file.
    Answer escape = Get("/../secret.xsl");
    EXPECT_EQ("HTTP/1.0 404 Resource not found", escape.status);
    EXPECT_EQ(std::string::npos, escape.body.find("outside the web root"));
}

TEST_F(HttpOmxResponserTest, FormActionAsPathShowsTheControllersPageAfterTheFatalText) {
    testing::internal::CaptureStdout();
    Answer answer = Get("/SetSmtp");
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ("***************Fatal error!***************", console);
    EXPECT_EQ("Controller Management", ControllersPage(answer.body).Title());
}

TEST_F(HttpOmxResponserTest, OtherMethodsGetTheNotImplementedPageAndEndTheConnection) {
    RecordingClient client;
    Answer answer = Send("DELETE /controllers.cgi HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", client);
    EXPECT_FALSE(answer.keepAlive);
    EXPECT_EQ("HTTP/1.0 501 Not Implemented", answer.status);
    EXPECT_EQ(kvotest::ReadFileText(m_work + "/HTML/mna.html"), answer.body);
}

TEST_F(HttpOmxResponserTest, KeepAliveIsHonouredForPagesAndFiles) {
    const std::string keep = "Host: 127.0.0.1\r\nConnection: Keep-Alive\r\n";
    EXPECT_TRUE(Get("/controllers.cgi", keep).keepAlive);
    EXPECT_TRUE(Get("/controllers.xsl", keep).keepAlive);
    EXPECT_FALSE(Get("/controllers.cgi").keepAlive);
}

TEST_F(HttpOmxResponserTest, PortFormStoresValidPortsAndRefusesTheRest) {
    // Ports in 1..65534 are stored; 65535 is refused with the message while the
    // other fields of the same request are still applied.
    Answer answer = Post("/controllers.cgi",
                         "controller_httpport_1=8080&controller_cliport_0=65535&controller_httpport_0=7000");
    EXPECT_EQ(8080, Stored(1, "httpport"));
    EXPECT_EQ(7000, Stored(0, "httpport"));
    bool found = true;
    Stored(0, "cliport", &found);
    EXPECT_TRUE(found);  // written as 0 by the page, never as 65535
    EXPECT_EQ(0, Stored(0, "cliport"));

    ControllersPage page(answer.body);
    EXPECT_EQ("8080", page.Port(1, "httpport"));
    EXPECT_EQ("7000", page.Port(0, "httpport"));
    EXPECT_EQ(std::vector<std::string>{kPortMessage}, page.Errors());

    Answer accepted = Post("/controllers.cgi", "controller_cliport_0=65534");
    EXPECT_EQ(65534, Stored(0, "cliport"));
    ControllersPage after(accepted.body);
    EXPECT_EQ("65534", after.Port(0, "cliport"));
    EXPECT_TRUE(after.Errors().empty());
}

TEST_F(HttpOmxResponserTest, PortFormRefusesZeroTextAndOverflowingNumbers) {
    Store(1, "cliport", 7424);
    // Only digits make a port: what a number field sends for 27000 ("2.7e4"),
    // digits with text after them, signs and overflowing numbers are refused.
    for (const char* value : {"0", "abc", "", "-1", "99999999999999999999", "4294975592", "7425x",
                              "2.7e4", "27417abc", "+7425", " 7425"}) {
        Answer answer = Post("/controllers.cgi", std::string("controller_cliport_1=") + value);
        EXPECT_EQ(7424, Stored(1, "cliport")) << value;
        EXPECT_EQ(std::vector<std::string>{kPortMessage}, ControllersPage(answer.body).Errors()) << value;
    }
    Post("/controllers.cgi", "controller_cliport_1=07425");
    EXPECT_EQ(7425, Stored(1, "cliport"));
}

TEST_F(HttpOmxResponserTest, QueryStringFieldsAreAppliedToo) {
    Answer answer = Get("/controllers.cgi?controller_httpport_1=9001");
    EXPECT_EQ(9001, Stored(1, "httpport"));
    EXPECT_EQ("9001", ControllersPage(answer.body).Port(1, "httpport"));
}

TEST_F(HttpOmxResponserTest, FieldIndexesAreHexadecimalAndBoundedToFourControllers) {
    // "_a" names controller 10: beyond what the service drives, so nothing is
    // written and the settings file can't be grown by forms.
    Post("/controllers.cgi", "controller_httpport_a=8000&controller_httpport_3=8003&controller_cliport_10=8016");
    EXPECT_EQ(8003, Stored(3, "httpport"));
    bool found = true;
    Stored(10, "httpport", &found);
    EXPECT_FALSE(found);
    Stored(16, "cliport", &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(std::string::npos, kvotest::ReadFileText(m_configPath).find("controller10"));

    // Only the prefix followed by a hexadecimal index names a controller: the
    // bare name, other text, a sign, an overflowing index and a second index
    // change nothing (they used to change controller 0 or 1).
    Store(0, "httpport", 7412);
    Store(1, "httpport", 7422);
    Answer answer = Post("/controllers.cgi",
                         "controller_httpport=8100&controller_httpport_zz=8101&controller_httpport_-1=8102"
                         "&controller_httpport_100000000=8103&controller_httpport_0_1=8104"
                         "&controller_httpport_=8105&controller_httpportx_1=8106");
    EXPECT_EQ(7412, Stored(0, "httpport"));
    EXPECT_EQ(7422, Stored(1, "httpport"));
    EXPECT_TRUE(ControllersPage(answer.body).Errors().empty());
    Post("/controllers.cgi", "controller_httpport_01=8107");
    EXPECT_EQ(8107, Stored(1, "httpport"));
}

TEST_F(HttpOmxResponserTest, FailedSaveIsReportedOnThePage) {
    // The file's directory is gone: the change can't be saved.
    std::string dir = m_tmp.path() + "/gone";
    fs::create_directories(dir);
    ConfigFileSupport store;
    store.Initialize((dir + "/kvoomxsvr.conf").c_str());
    m_responder.m_pConfig = &store;
    fs::remove(dir);

    Answer answer = Post("/controllers.cgi", "controller_httpport_1=8080");
    ControllersPage page(answer.body);
    EXPECT_EQ("8080", page.Port(1, "httpport")) << "kept in memory";
    ASSERT_EQ(1u, page.Errors().size()) << answer.body;
    EXPECT_EQ(0u, page.Errors()[0].find("The settings could not be saved (")) << page.Errors()[0];
    EXPECT_NE(std::string::npos, page.Errors()[0].find("No such file or directory")) << page.Errors()[0];

    // A refused port and a failed save: both are shown, the form's message first.
    ControllersPage both(Post("/controllers.cgi", "controller_httpport_1=0").body);
    ASSERT_EQ(2u, both.Errors().size());
    EXPECT_EQ(kPortMessage, both.Errors()[0]);

    // With the directory back, the next page saves what was kept.
    fs::create_directories(dir);
    EXPECT_TRUE(ControllersPage(Get("/controllers.cgi").body).Errors().empty());
    EXPECT_NE(std::string::npos, kvotest::ReadFileText(dir + "/kvoomxsvr.conf").find("<httpport>1f90</httpport>"));
}

TEST_F(HttpOmxResponserTest, RelayPortsMustDifferFromEachOtherAndTheConfigurationPort) {
    m_config.SetConfigValue_U16("root", "configport", 7402);
    Store(0, "httpport", 7412);
    Store(1, "httpport", 7422);
    Store(0, "cliport", 7414);
    Store(1, "cliport", 7424);
    const std::string before = kvotest::ReadFileText(m_configPath);
    struct Case {
        const char* form;
        const char* message;
    } cases[] = {
        {"controller_httpport_1=7412", "Port 7412 is given to both Controller 1 and Controller 2; each controller needs a port of its own."},
        {"controller_httpport_0=9000&controller_httpport_1=9000", "Port 9000 is given to both Controller 1 and Controller 2; each controller needs a port of its own."},
        {"controller_httpport_0=7402", "Port 7402 is the port of these configuration pages; Controller 1 needs another port."},
    };
    for (const auto& c : cases) {
        ControllersPage page(Post("/controllers.cgi", c.form).body);
        EXPECT_EQ(std::vector<std::string>{c.message}, page.Errors()) << c.form;
        EXPECT_EQ(before, kvotest::ReadFileText(m_configPath)) << c.form;
        // What was typed stays in the form.
        EXPECT_NE(nullptr, page.root->FirstChildElement("typed")) << c.form;
    }
    // Swapping two ports in one form leaves each controller a port of its own.
    ControllersPage swapped(Post("/controllers.cgi", "controller_httpport_0=7422&controller_httpport_1=7412").body);
    EXPECT_TRUE(swapped.Errors().empty());
    EXPECT_EQ(7422, Stored(0, "httpport"));
    EXPECT_EQ(7412, Stored(1, "httpport"));
}

TEST_F(HttpOmxResponserTest, SavedPortsAreConfirmedAndTheRelayKeepsItsPortUntilTheNextStart) {
    Store(0, "httpport", 7412);
    Store(1, "httpport", 7422);
    ControllersPage shown(Get("/controllers.cgi").body);
    EXPECT_EQ("7412", shown.Port(0, "activeport"));
    EXPECT_EQ(nullptr, shown.root->FirstChildElement("messages")) << "showing the page says nothing";

    Answer answer = Post("/controllers.cgi", "controller_httpport_1=8422&controller_cliport_1=8424");
    ControllersPage page(answer.body);
    EXPECT_EQ("8422", page.Port(1, "httpport"));
    EXPECT_EQ("7422", page.Port(1, "activeport")) << "the relay is still on its old port";
    EXPECT_NE(std::string::npos, answer.body.find("<message type=\"info\">The ports were saved. A changed port takes "
                                                  "effect at the next start of the service"))
        << answer.body;
    EXPECT_EQ(nullptr, page.root->FirstChildElement("typed"));
}

TEST_F(HttpOmxResponserTest, MissingPortsAreShownAsZeroAndThenStored) {
    Store(0, "httpport", 7412);
    Store(0, "cliport", 7414);
    bool found = true;
    Stored(1, "httpport", &found);
    ASSERT_FALSE(found);

    ControllersPage page(Get("/controllers.cgi").body);
    EXPECT_EQ("7412", page.Port(0, "httpport"));
    EXPECT_EQ("7414", page.Port(0, "cliport"));
    EXPECT_EQ("0", page.Port(1, "httpport"));
    EXPECT_EQ("0", page.Port(1, "cliport"));
    EXPECT_EQ(0, Stored(1, "httpport", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(0, Stored(1, "cliport", &found));
    EXPECT_TRUE(found);
}

TEST_F(HttpOmxResponserTest, HostAddressComesFromTheHostHeader) {
    EXPECT_EQ("192.168.1.20", ControllersPage(Get("/", "Host: 192.168.1.20:7402\r\n").body).Ip());
    EXPECT_EQ("raidbox", ControllersPage(Get("/", "Host: raidbox\r\n").body).Ip());

    // A connection's first request without Host: the parser has no host yet.
    ControllersPage none(Get("/", "").body);
    EXPECT_TRUE(none.HasIp());
    EXPECT_EQ("", none.Ip());

    // A Host starting with ":" keeps the host's own address.
    std::string ownName, ownAddress;
    GetHostName(ownName, ownAddress);
    EXPECT_EQ(ownAddress, ControllersPage(Get("/", "Host: :7402\r\n").body).Ip());
}

TEST_F(HttpOmxResponserTest, PageFileIsPrivateAndRemovedAfterTheAnswer) {
    std::vector<std::string> seen;
    RecordingClient client;
    client.duringSend = [&] { seen = FilesIn(m_work); };
    Answer answer = Send("GET /controllers.cgi HTTP/1.0\r\n\r\n", client);
    EXPECT_EQ("HTTP/1.0 200 OK", answer.status);
    // While the answer goes out the page exists under a private name that keeps
    // the document's name and extension; afterwards it is gone.
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(0u, seen[0].rfind("controllers-", 0)) << seen[0];
    EXPECT_EQ(".xml", seen[0].substr(seen[0].size() - 4));
    EXPECT_TRUE(FilesIn(m_work).empty());
}

TEST_F(HttpOmxResponserTest, FailedSendLeavesNoPageFileBehind) {
    RecordingClient client;
    client.failSends = true;
    Answer answer = Send("GET /controllers.cgi HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", client);
    EXPECT_FALSE(answer.keepAlive);
    EXPECT_TRUE(FilesIn(m_work).empty());
}

TEST_F(HttpOmxResponserTest, PlantedLinkAtThePageNameIsNeverFollowed) {
    const std::string victim = m_tmp.path() + "/victim.txt";
    kvotest::WriteFileText(victim, "precious");
    for (const char* name : {"controllers.xml", "snmp.xml", "email.xml"})
        ASSERT_EQ(0, symlink(victim.c_str(), (m_work + "/" + name).c_str()));

    for (const char* target : {"/controllers.cgi", "/", "/controllers.xml"}) {
        Answer answer = Post(target, "controller_httpport_1=8081");
        EXPECT_EQ("HTTP/1.0 200 OK", answer.status) << target;
        EXPECT_EQ("8081", ControllersPage(answer.body).Port(1, "httpport")) << target;
        EXPECT_EQ(std::string::npos, answer.body.find("precious"));
    }
    EXPECT_EQ("precious", kvotest::ReadFileText(victim));
    struct stat info {};
    ASSERT_EQ(0, lstat((m_work + "/controllers.xml").c_str(), &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(3u, FilesIn(m_work).size());  // only the planted links
}

TEST_F(HttpOmxResponserTest, WithoutAStoreThePageStillShowsTheControllers) {
    HttpOmxResponser bare;
    bare.SetRootFolder(m_root.c_str());
    HttpParser parser;
    ASSERT_EQ(0, parser.Parse("GET /?controller_httpport_0=8000 HTTP/1.0\r\n\r\n"));
    RecordingClient client;
    bare.ProcessRequest(&client, &parser);
    ControllersPage page(client.sent.substr(client.sent.find("\r\n\r\n") + 4));
    EXPECT_EQ(2, page.ControllerCount());
    EXPECT_EQ("0", page.Port(0, "httpport"));
}

// Over real sockets: several browsers at once each get whole, valid pages, the
// requests are applied one at a time, and no page file stays behind.
TEST_F(HttpOmxResponserTest, ParallelConnectionsGetWholePagesOverTcp) {
    auto responder = std::make_unique<HttpOmxResponser>();
    responder->SetRootFolder(m_root.c_str());
    responder->m_pConfig = &m_config;
    int port = kvotest::FreeTcpPort();
    GenericServer server(std::make_unique<SocketCommAgent>(port, 0), std::move(responder), 0, 0);
    ASSERT_EQ(0, server.Run());

    const int kClients = 4, kRounds = 4;
    std::vector<std::string> problems(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < kRounds; ++r) {
                int fd = kvotest::ConnectLoopback(port);
                if (fd < 0) { problems[c] = "connect failed"; return; }
                // Clients 0 and 1 write controller 0's ports, 2 and 3 controller 1's.
                std::string body = "controller_cliport_" + std::to_string(c / 2) + "=" +
                                   std::to_string(20000 + c * 100 + r);
                std::string request = "POST /controllers.cgi HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                                      "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
                send(fd, request.data(), request.size(), MSG_NOSIGNAL);
                std::string answer = kvotest::ReadAll(fd);
                close(fd);
                size_t end = answer.find("\r\n\r\n");
                ControllersPage page(end == std::string::npos ? "" : answer.substr(end + 4));
                if (answer.compare(0, 15, "HTTP/1.0 200 OK") != 0 || page.ControllerCount() != 2) {
                    problems[c] = "bad answer: " + answer.substr(0, 200);
                    return;
                }
            }
        });
    }
    for (auto& t : clients) t.join();
    for (const auto& p : problems) EXPECT_EQ("", p);
    server.ShutDown();

    uint16_t zero = Stored(0, "cliport"), one = Stored(1, "cliport");
    EXPECT_TRUE(zero == 20000 + kRounds - 1 || zero == 20100 + kRounds - 1) << zero;
    EXPECT_TRUE(one == 20200 + kRounds - 1 || one == 20300 + kRounds - 1) << one;
    EXPECT_TRUE(FilesIn(m_work).empty());
}

}  // namespace
