// Stand-ins for a server or a network path that misbehave on purpose, for the
// client library's tests: a datagram server that is silent or speaks
// nonsense, a UDP proxy that loses chosen datagrams, and a TCP proxy that cuts
// a connection. Each serves from a thread of its own on a loopback port and
// stops when destroyed. Only for use inside the tests' private network
// namespace.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// A socket on a port of its own that answers every datagram with reply, or
// never when reply is empty.
class fake_datagram_server {
public:
    fake_datagram_server(std::uint16_t port, std::string reply);
    ~fake_datagram_server();
    fake_datagram_server(const fake_datagram_server&) = delete;
    fake_datagram_server& operator=(const fake_datagram_server&) = delete;

    bool bound() const { return bound_; }
    int failures() const { return failures_; }

private:
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<int> failures_ = 0;
    std::string reply_;
    std::atomic<bool> stop_ = false;
    std::thread thread_;

    void serve();
};

// Forwards datagrams between the client (on port 5445) and the server,
// losing the ones drop() picks: it is told the direction and the text.
class lossy_proxy {
public:
    using drop_rule = std::function<bool(bool to_server, const std::string& text)>;
    static constexpr std::uint16_t port = 5445;

    explicit lossy_proxy(drop_rule drop);
    ~lossy_proxy();
    lossy_proxy(const lossy_proxy&) = delete;
    lossy_proxy& operator=(const lossy_proxy&) = delete;

    int dropped() const { return dropped_; }
    int failures() const { return failures_; }

private:
    drop_rule drop_;
    int client_side_ = -1;
    int server_side_ = -1;
    sockaddr_in client_{};
    std::atomic<bool> stop_ = false;
    std::atomic<int> dropped_ = 0;
    std::atomic<int> failures_ = 0;
    std::thread thread_;

    void forward();
    void pass(bool to_server, const std::string& text, int fd, const sockaddr_in& to);
};

// Drops the first `count` datagrams going the given way whose text begins
// with one of the letters. Each rule counts for itself, so a table of cases
// made afresh for each run of a test starts from zero every time.
lossy_proxy::drop_rule drop_first(bool to_server, std::string letters, int count = 1);

// Forwards one connection at a time to the server's stream port, and cuts
// the first one once cut_after bytes of requests have gone through.
class cutting_proxy {
public:
    static constexpr std::uint16_t port = 5447;

    explicit cutting_proxy(std::size_t cut_after);
    ~cutting_proxy();
    cutting_proxy(const cutting_proxy&) = delete;
    cutting_proxy& operator=(const cutting_proxy&) = delete;

    int connections() const { return connections_; }

private:
    std::size_t cut_after_;
    int listener_ = -1;
    std::atomic<bool> stop_ = false;
    std::atomic<int> connections_ = 0;
    std::thread thread_;

    void serve();
    void forward(int client, int server, bool cut);
};
