// Simulator: the kvoctlsim process: one listening SOCK_SEQPACKET socket per
// controller service, the control socket, and one poll loop on the main thread
// that serves every connection. Owns the controllers and the transcript. Only
// the signal handler touches it from elsewhere, through a pipe.
#pragma once

#include <chrono>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimController.h"
#include "sim/SimOptions.h"
#include "sim/Transcript.h"

class Simulator {
public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Creates the sockets; false with `error` set when that fails.
    bool Start(std::string& error);
    // Serves until `stopFd` becomes readable.
    void Run(int stopFd);

    // One control command; returns "ok", "ok <details>" or "error: <why>".
    std::string Execute(const std::string& line);

private:
    enum class Kind { Service, Driver, ControlListener, ControlClient, ScsiListener, ScsiTarget };
    struct Endpoint {
        Endpoint(Kind k, int f, int c = -1) : kind(k), fd(f), controller(c) {}
        Kind kind;
        int fd;
        int controller = -1;        // Service, Driver, ScsiListener, ScsiTarget
        DriverClientState client;   // Driver
        bool closing = false;       // dropped after the current pass ("vanish")
        // Driver, ScsiTarget: a reply held back by the "hold" command and when it
        // goes out; the connection's next request waits until then.
        std::vector<uint8_t> heldReply;
        std::chrono::steady_clock::time_point releaseAt{};
        bool holding = false;
        std::string lineBuffer;     // ControlClient
    };

    int Listen(const std::string& path, int type, std::string& error);
    void Accept(Endpoint& listener);
    bool ServeDriver(Endpoint& e);
    bool ServeScsiTarget(Endpoint& e);
    // Sends `reply` now, or holds it back when the controller was told to.
    bool ReplyOrHold(Endpoint& e, uint32_t selector, std::vector<uint8_t> reply);
    bool StartScsiTargets(std::string& error);
    bool ListenOnDeviceNode(int controller, std::string& error);
    std::string DeviceNodePath(int controller) const;
    std::string VanishDeviceNode(int controller);
    std::string ExecuteScsiTargetCommand(const std::string& command, SimController& c,
                                         std::istream& in);
    bool SendDriverReply(Endpoint& e, const std::vector<uint8_t>& reply);
    // Sends the held replies that are due; false for an endpoint to drop.
    void ReleaseHeldReplies(std::vector<bool>& drop);
    // Milliseconds until the next held reply is due, or -1.
    int NextReleaseMs() const;
    bool ServeControl(Endpoint& e);
    void GenerateEvents();
    SimController* ControllerArg(const std::string& text, std::string& error);
    void CloseAll();

    SimOptions m_options;
    Transcript m_transcript;
    std::vector<std::unique_ptr<SimController>> m_controllers;
    std::vector<std::unique_ptr<Endpoint>> m_endpoints;
    std::vector<std::string> m_paths;  // sockets to remove at the end
    std::chrono::steady_clock::time_point m_nextEvents;
    unsigned m_generated = 0;
};
