// Event notification latency with real peers: the simulator as the controllers,
// snmptrapd for traps, the postfix test peer (hold queue) for mail; the real
// trap sender, e-mail center and poller. Prints medians of:
//   1. delivery alone: the trap and mail calls the poller makes, and when
//      snmptrapd logs the trap / postfix holds the mail;
//   2. through the poller with a 100 ms pause: event queued -> trap, -> mail;
//   3. sweep-aligned (the real 10 s pause, events queued at random moments).
// Needs root (the hold queue) and scripts/setup.d/postfix.sh. Takes about 70 s.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RecordText.h"
#include "SimulatorProcess.h"
#include "TestSupport.h"
#include "controller/kvoIO.h"
#include "mail/PostfixPeer.h"
#include "notify/EmailCenter.h"
#include "notify/KvoSnmpTrap.h"
#include "notify/NotifyManager.h"
#include "notify/SnmpTrapdProcess.h"
#include "pages/PageHelpers.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char kHoldDir[] = "/var/spool/postfix/hold";
// The figures; standard output gets the poller's own "Get event" lines.
FILE* g_out = stderr;

std::set<std::string> HeldIds() {
    std::set<std::string> ids;
    if (DIR* d = opendir(kHoldDir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert(e->d_name);
        closedir(d);
    }
    return ids;
}

// Waits for a new file in the hold queue; its name (the queue id) and when it appeared.
bool AwaitNewHeld(const std::set<std::string>& before, std::string& id, Clock::time_point& at,
                  std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        for (const auto& name : HeldIds())
            if (!before.count(name)) {
                at = Clock::now();
                id = name;
                return true;
            }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

bool AwaitTrap(const kvotest::SnmpTrapdProcess& trapd, const std::string& text, Clock::time_point& at,
               std::chrono::milliseconds limit) {
    bool seen = kvotest::WaitUntil([&] { return trapd.Output().find(text) != std::string::npos; }, limit);
    at = Clock::now();
    return seen;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void Report(const char* what, const std::vector<double>& v) {
    if (v.empty()) {
        std::fprintf(g_out, "  %-44s no samples\n", what);
        return;
    }
    std::fprintf(g_out, "  %-44s median %9.2f ms  min %9.2f  max %9.2f  (n=%zu)\n", what, Median(v),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()), v.size());
}

struct Bench {
    kvotest::PostfixPeer peer;
    std::unique_ptr<kvotest::SimulatorProcess> sim;
    kvotest::TempDir dir;
    KvoSnmpTrap trap;
    EmailCenter center;
    std::vector<std::string> held;
    std::string token = kvotest::UniqueToken("bench");
    int sequence = 0;

    ~Bench() {
        for (const auto& id : held) peer.Delete(id);
    }

    bool Setup() {
        std::string why;
        if (!peer.Load(&why)) {
            std::fprintf(stderr, "postfix test peer unavailable: %s\n", why.c_str());
            return false;
        }
        sim = std::make_unique<kvotest::SimulatorProcess>(2);
        if (!sim->ok()) return false;
        sim->ExportDriverDir();
        kvoIO::GetInstance()->initialize();
        center.InitEmailCenter(dir.file("kvoomxemail.conf"));
        center.SetHostAddressSource([](std::string& address) {
            std::string name;
            return GetHostName(name, address);
        });
        SMTP_SERVER_INFO info;
        CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
        info.uPort = static_cast<uint16_t>(peer.port);
        info.byAuth = SMTP_AUTH_LOGIN;
        CopyField(info.szLoginName, sizeof info.szLoginName, peer.user);
        CopyField(info.szPassword, sizeof info.szPassword, peer.password);
        CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid-monitor@sender.example");
        _MAIL_RECIPIENT_INFO r;
        CopyField(r.szMailAddress, sizeof r.szMailAddress, peer.Address(token));
        r.byLevel = 0x07;
        trap.SetTrapLevel(0x07);
        return center.SetSMTPServer(&info) && center.EditRcpt(&r, RCPT_EDIT_ADD);
    }

    std::string NextText() { return token + "-" + std::to_string(++sequence); }

    void DeliveryAlone(int samples) {
        kvotest::SnmpTrapdProcess trapd;
        if (!trapd.Start()) return;
        trap.SetTrapTarget(1, "127.0.0.1", trapd.port(), nullptr);
        std::vector<double> trapCall, mailCall, trapSeen, mailSeen;
        for (int i = 0; i < samples; ++i) {
            std::string text = "At 2009-03-07 14:05:09 Controller 1:\r\n " + NextText();
            auto before = HeldIds();
            auto t0 = Clock::now();
            trap.SendTextTrap('E', text.c_str());
            auto t1 = Clock::now();
            center.EventArrived('E', text.c_str());
            auto t2 = Clock::now();
            Clock::time_point trapAt, mailAt;
            std::string id;
            if (!AwaitTrap(trapd, text, trapAt, 5s) || !AwaitNewHeld(before, id, mailAt, 10s)) continue;
            held.push_back(id);
            trapCall.push_back(Ms(t1 - t0));
            mailCall.push_back(Ms(t2 - t1));
            trapSeen.push_back(Ms(trapAt - t0));
            mailSeen.push_back(Ms(mailAt - t1));
        }
        std::fprintf(g_out, "Delivery alone (what the poller does per event):\n");
        Report("SendTextTrap call", trapCall);
        Report("EventArrived call (whole SMTP dialogue)", mailCall);
        Report("trap call start -> logged by snmptrapd", trapSeen);
        Report("EventArrived start -> held by postfix", mailSeen);
    }

    // Queues events and times them through a running poller; `beforeQueue` may wait.
    void ThroughPoller(const char* title, std::chrono::milliseconds pause, int samples,
                       const std::function<void()>& beforeQueue) {
        NotifyOptions options;
        options.sweepPause = pause;
        NotifyManager manager(trap, center, options);
        std::vector<double> trapSeen, mailSeen;
        manager.Run();
        for (int i = 0; i < samples; ++i) {
            // A fresh snmptrapd for each sample: it ends itself after 60 s.
            kvotest::SnmpTrapdProcess trapd;
            if (!trapd.Start()) continue;
            trap.SetTrapTarget(1, "127.0.0.1", trapd.port(), nullptr);
            beforeQueue();
            std::string text = NextText();
            auto before = HeldIds();
            auto t0 = Clock::now();
            if (sim->Command("event 1 W 2009-03-07T14:05:09 " + text) != "ok") continue;
            Clock::time_point trapAt, mailAt;
            std::string id;
            if (!AwaitTrap(trapd, text, trapAt, 25s) || !AwaitNewHeld(before, id, mailAt, 15s)) continue;
            held.push_back(id);
            trapSeen.push_back(Ms(trapAt - t0));
            mailSeen.push_back(Ms(mailAt - t0));
        }
        manager.terminate();
        std::fprintf(g_out, "%s:\n", title);
        Report("event queued -> trap logged by snmptrapd", trapSeen);
        Report("event queued -> mail held by postfix", mailSeen);
    }
};

}  // namespace

int main() {
    g_out = fdopen(dup(1), "w");
    if (!g_out) return 1;
    setvbuf(g_out, nullptr, _IOLBF, 0);
    // The poller's own "Get event" lines would mix with the figures.
    if (!freopen("/dev/null", "w", stdout)) return 1;
    Bench bench;
    if (!bench.Setup()) return 1;
    bench.DeliveryAlone(15);
    bench.ThroughPoller("Through the poller, 100 ms between sweeps (visit + delivery + <= 100 ms)",
                        100ms, 10, [] {});
    std::mt19937 random(std::random_device{}());
    bench.ThroughPoller("Sweep-aligned, the real 10 s between sweeps, events queued at random moments",
                        NotifyOptions().sweepPause, 5, [&] {
                            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 10000));
                        });
    return 0;
}
