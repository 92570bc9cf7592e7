// ScriptedSmtpServer: a one-connection SMTP stand-in on 127.0.0.1 for what a
// real server cannot be made to do (replies split across segments, a server
// that never answers, chosen refusals). The script runs on its own thread;
// every wait is bounded, and the destructor joins it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace kvotest {

class ScriptedConnection {
public:
    explicit ScriptedConnection(int fd) : m_fd(fd) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    void Send(const std::string& text) { ::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL); }

    // Sends the pieces as separate segments: the pause lets each leave on its own.
    void SendInPieces(const std::vector<std::string>& pieces) {
        for (size_t i = 0; i < pieces.size(); i++) {
            if (i) std::this_thread::sleep_for(std::chrono::milliseconds(60));
            Send(pieces[i]);
        }
    }

    // One line with its line end; empty when the peer closed or 15 s passed.
    std::string ReadLine() {
        std::string line;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (line.empty() || line.back() != '\n') {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::string();
            char ch;
            if (::recv(m_fd, &ch, 1, 0) != 1) return std::string();
            line += ch;
        }
        Record(line);
        return line;
    }

    // The DATA text up to and including the line ".".
    std::string ReadData() {
        std::string data;
        for (;;) {
            std::string line = ReadLine();
            if (line.empty()) return data;
            data += line;
            if (line == ".\r\n") return data;
        }
    }

    // Answers each command line with `answer(line)` until QUIT or the end of the
    // connection; an answer starting with "354" is followed by reading the data,
    // which is then answered with answer("<data>").
    void Serve(const std::function<std::string(const std::string&)>& answer) {
        for (;;) {
            std::string line = ReadLine();
            if (line.empty() || line.rfind("QUIT", 0) == 0) return;
            std::string reply = answer(line);
            Send(reply);
            if (reply.rfind("354", 0) == 0) {
                m_data = ReadData();
                Send(answer("<data>"));
            }
        }
    }

    // Ends the connection from the server side.
    void Hangup() { shutdown(m_fd, SHUT_RDWR); }

    // Reads until the client closes (bounded), recording what it sent.
    void DrainUntilClosed() {
        while (!ReadLine().empty()) {
        }
    }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    std::string Data() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_data;
    }

private:
    void Record(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
    }

    int m_fd;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::string m_data;
};

class ScriptedSmtpServer {
public:
    using Script = std::function<void(ScriptedConnection&)>;

    explicit ScriptedSmtpServer(Script script) : m_script(std::move(script)) {
        m_listener = kvotest::ListenLoopback(4, m_port);
        m_thread = std::thread([this] { Run(); });
    }

    ~ScriptedSmtpServer() { Join(); }

    int Port() const { return m_port; }

    // Waits for the script and the client's last bytes (bounded by the reads).
    void Join() {
        if (m_thread.joinable()) m_thread.join();
        if (m_listener >= 0) close(m_listener);
        m_listener = -1;
    }

    // Every line the client sent; call after Join.
    std::vector<std::string> Lines() { return m_connection ? m_connection->Lines() : std::vector<std::string>(); }
    std::string Data() { return m_connection ? m_connection->Data() : std::string(); }
    bool Accepted() const { return m_connection != nullptr; }

private:
    void Run() {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return;
        int fd = accept(m_listener, nullptr, nullptr);
        if (fd < 0) return;
        m_connection = std::make_unique<ScriptedConnection>(fd);
        m_script(*m_connection);
        m_connection->DrainUntilClosed();
        close(fd);
    }

    Script m_script;
    int m_listener = -1;
    int m_port = 0;
    std::unique_ptr<ScriptedConnection> m_connection;
    std::thread m_thread;
};

}  // namespace kvotest
