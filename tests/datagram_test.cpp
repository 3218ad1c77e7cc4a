// Datagram exchanges with the real binary on UDP port 4444.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/server_process.h"

namespace {

struct datagram_fixture : testing::Test {
    std::unique_ptr<server_process> server;
    udp_client client;

    void start(std::vector<std::string> args) {
        args.push_back("-no_fork");
        server = std::make_unique<server_process>(launch_options{.args = args});
        ASSERT_TRUE(server->wait_until_serving());
    }
    void SetUp() override { start({"-quiet"}); }
};

TEST_F(datagram_fixture, answers_the_request_language) {
    EXPECT_EQ(client.ask("P"), "R");
    EXPECT_EQ(client.ask("Sfoo"), "N-1");
    client.send("A7 foo");
    EXPECT_EQ(client.receive(300ms), std::nullopt);  // an accepted association gets nothing
    EXPECT_EQ(client.ask("Sfoo"), "N7");
    EXPECT_EQ(client.ask("N7"), "Sfoo");
    EXPECT_EQ(client.ask("A8 foo"), "E7 foo");
}

TEST_F(datagram_fixture, an_empty_datagram_gets_no_reply) {
    client.send("");
    EXPECT_EQ(client.receive(300ms), std::nullopt);
    EXPECT_EQ(client.ask("P"), "R");
}

TEST_F(datagram_fixture, only_the_first_99_bytes_count) {
    client.send("A1 " + std::string(197, 'x'));  // 200 bytes
    EXPECT_EQ(client.ask("N1"), "S" + std::string(96, 'x'));
    EXPECT_EQ(client.ask("S" + std::string(96, 'x')), "N1");
}

TEST_F(datagram_fixture, a_zero_byte_ends_the_request) {
    client.send(std::string("A2 ab\0cd", 8));
    EXPECT_EQ(client.ask("N2"), "Sab");
}

TEST_F(datagram_fixture, each_sender_is_answered_at_its_own_address) {
    client.send("A11 one");
    client.send("A12 two");
    udp_client other;
    client.send("Sone");
    other.send("Stwo");
    EXPECT_EQ(other.receive(), "N12");
    EXPECT_EQ(client.receive(), "N11");
}

// Every address in 127.0.0.0/8 is the host's own; a connected socket takes
// replies only from the address it asked.
TEST_F(datagram_fixture, replies_come_from_the_address_asked) {
    for (const char* asked : {"127.0.0.1", "127.0.0.2", "127.1.2.3"}) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(datagram_port);
        ASSERT_EQ(::inet_pton(AF_INET, asked, &to.sin_addr), 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        ASSERT_EQ(::send(fd, "P", 1, 0), 1);
        pollfd p{fd, POLLIN, 0};
        char reply[8] = {};
        EXPECT_EQ(::poll(&p, 1, 2000), 1) << asked;
        EXPECT_EQ(::recv(fd, reply, sizeof reply, MSG_DONTWAIT), 1) << asked;
        EXPECT_EQ(std::string(reply), "R") << asked;
        ::close(fd);
    }
}

TEST_F(datagram_fixture, verbose_traces_come_in_order) {
    server.reset();
    start({"-verbose"});
    EXPECT_EQ(client.ask("Sfoo"), "N-1");
    EXPECT_TRUE(server->wait_for_out("UDP recd. Sfoo\nDoing a string_to_atom\nSending N-1\n"));
}

// A datagram from source port 0 cannot be answered (sendto fails with
// EINVAL). Only a raw socket can send one; the namespace lets the test have it.
TEST_F(datagram_fixture, an_unanswerable_sender_does_not_stop_the_server) {
    const int raw = ::socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    ASSERT_GE(raw, 0) << std::strerror(errno);
    const char payload[] = "P";
    struct {
        iphdr ip;
        udphdr udp;
        char data[1];
    } __attribute__((packed)) packet{};
    packet.ip.version = 4;
    packet.ip.ihl = 5;
    packet.ip.ttl = 64;
    packet.ip.protocol = IPPROTO_UDP;
    packet.ip.saddr = htonl(INADDR_LOOPBACK);
    packet.ip.daddr = htonl(INADDR_LOOPBACK);
    packet.ip.tot_len = htons(sizeof packet);
    packet.udp.source = 0;
    packet.udp.dest = htons(datagram_port);
    packet.udp.len = htons(sizeof(udphdr) + 1);
    packet.udp.check = 0;  // no checksum, allowed over IPv4
    packet.data[0] = payload[0];
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(raw, &packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(sizeof packet))
        << std::strerror(errno);
    ::close(raw);
    EXPECT_TRUE(server->wait_for_err("sendto: Invalid argument\n"));
    EXPECT_EQ(client.ask("P"), "R");
}

}  // namespace
