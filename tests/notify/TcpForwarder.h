// TcpForwarder: a loopback TCP port of the test's own in front of a real peer
// (postfix), which the test closes (connections refused, as a stopped server)
// and opens again on the same port, without touching the peer itself. One
// thread serves the listener and every piped connection; bounded polls only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace kvotest {

class TcpForwarder {
public:
    explicit TcpForwarder(int targetPort) : target_(targetPort), port_(FreeTcpPort()) {
        thread_ = std::thread([this] { Run(); });
    }
    ~TcpForwarder() {
        stop_ = true;
        thread_.join();
        Close();
        for (auto& p : pairs_) {
            close(p.first);
            close(p.second);
        }
    }

    int port() const { return port_; }

    // Listens again on the same port.
    bool Open() {
        std::lock_guard<std::mutex> g(lock_);
        if (listener_ >= 0) return true;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
            close(fd);
            return false;
        }
        listener_ = fd;
        return true;
    }
    // Stops listening: new connections are refused.
    void Close() {
        std::lock_guard<std::mutex> g(lock_);
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
    }
    int Connections() const { return connections_; }

private:
    void Run() {
        while (!stop_) {
            std::vector<pollfd> fds;
            {
                std::lock_guard<std::mutex> g(lock_);
                fds.push_back({listener_, POLLIN, 0});
            }
            for (auto& p : pairs_) {
                fds.push_back({p.first, POLLIN, 0});
                fds.push_back({p.second, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            // Only the pairs in this poll set; one accepted now waits for the next.
            const size_t polled = pairs_.size();
            if (fds[0].fd >= 0 && (fds[0].revents & POLLIN)) Accept(fds[0].fd);
            for (size_t i = 0; i < polled; ++i) {
                auto& p = pairs_[i];
                bool ended = (fds[1 + 2 * i].revents && !Pipe(p.first, p.second)) ||
                             (fds[2 + 2 * i].revents && !Pipe(p.second, p.first));
                if (ended) {
                    close(p.first);
                    close(p.second);
                    pairs_.erase(pairs_.begin() + static_cast<long>(i));
                    break;  // the poll set no longer matches
                }
            }
        }
    }
    void Accept(int listener) {
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        int server = ConnectLoopback(target_);
        if (server < 0) {
            close(client);
            return;
        }
        ++connections_;
        pairs_.emplace_back(client, server);
    }
    static bool Pipe(int from, int to) {
        char buf[4096];
        ssize_t n = recv(from, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) return false;
        return send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
    }

    int target_;
    int port_;
    std::mutex lock_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::vector<std::pair<int, int>> pairs_;
    std::thread thread_;
};

}  // namespace kvotest
