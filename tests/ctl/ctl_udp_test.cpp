// gatewardenctl search and netconf-udp against fake controllers on loopback
// (unicast only: broadcasts are tried in the sandbox test).
#include "tests/ctl/ctl_harness.h"
#include "tests/support/process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

int udp_socket(const char *addr, int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int local_port(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

// One datagram within timeout_ms: its text (empty on time-out) and sender.
std::string receive(int fd, int timeout_ms, sockaddr_in *from)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return "";
    char buf[2048];
    socklen_t len = sizeof *from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(from), &len);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

void answer_from(const char *addr, const sockaddr_in &to, const std::string &text)
{
    int fd = udp_socket(addr, 0);
    ASSERT_GE(fd, 0) << addr;
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    close(fd);
}

TEST(CtlUdp, SearchSendsTheExactRequestAndListsEachControllerOnce)
{
    int fd = udp_socket("127.0.0.1", 0);
    ASSERT_GE(fd, 0);
    std::string request;
    sockaddr_in tool{};
    std::thread responder([&] {
        request = receive(fd, 10000, &tool);
        if (request.empty())
            return;
        // Two controllers answer; one twice. Other texts are no answer.
        answer_from("127.0.0.2", tool, "TcpReader Response");
        answer_from("127.0.0.3", tool, "TcpReader Response");
        answer_from("127.0.0.2", tool, "TcpReader Response");
        answer_from("127.0.0.4", tool, "TcpReader Response ");
        answer_from("127.0.0.5", tool, "TcpReader Respons");
    });
    CtlResult r = run_ctl(
        {"search", "--to", "127.0.0.1", "-p", std::to_string(local_port(fd)), "-t", "1000"});
    responder.join();
    close(fd);
    EXPECT_EQ(request, R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "127.0.0.2\n127.0.0.3\n");
    EXPECT_GE(r.ms, 1000); // it listens for the whole time-out
}

TEST(CtlUdp, SearchJsonListsAddressesAndAnswerCounts)
{
    int fd = udp_socket("127.0.0.1", 0);
    ASSERT_GE(fd, 0);
    std::thread responder([&] {
        sockaddr_in tool{};
        if (!receive(fd, 10000, &tool).empty()) {
            answer_from("127.0.0.7", tool, "TcpReader Response");
            answer_from("127.0.0.7", tool, "TcpReader Response");
        }
    });
    CtlResult r = run_ctl({"--json", "search", "--to", "127.0.0.1", "--port",
                           std::to_string(local_port(fd)), "--timeout", "500"});
    responder.join();
    close(fd);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[{\"address\":\"127.0.0.7\",\"answers\":2}]\n");
}

TEST(CtlUdp, SearchWithoutAnswerIsNoAnswer)
{
    int fd = udp_socket("127.0.0.1", 0); // receives the search, says nothing
    ASSERT_GE(fd, 0);
    CtlResult r =
        run_ctl({"search", "--to", "127.0.0.1", "-p", std::to_string(local_port(fd)), "-t", "400"});
    sockaddr_in from{};
    EXPECT_FALSE(receive(fd, 1000, &from).empty());
    close(fd);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no controller answered within 400 ms"), std::string::npos) << r.err;
    EXPECT_GE(r.ms, 400);
}

TEST(CtlUdp, NetconfUdpSendsOldIpAndTheNewValuesInOneDatagram)
{
    int fd = udp_socket("127.0.0.1", 0);
    ASSERT_GE(fd, 0);
    std::string port = std::to_string(local_port(fd));
    CtlResult r = run_ctl({"netconf-udp", "--old-ip", "192.0.2.10", "--ip", "192.0.2.20", "--dns",
                           "192.0.2.53", "--to", "127.0.0.1", "-p", port});
    EXPECT_EQ(r.status, 0) << r.err;
    sockaddr_in from{};
    EXPECT_EQ(
        receive(fd, 2000, &from),
        R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.0.2.10","IP":"192.0.2.20","Mask":"","Gateway":"","DNS":"192.0.2.53","MAC":""}})");
    EXPECT_EQ(receive(fd, 300, &from), ""); // one datagram only

    const std::vector<std::vector<std::string>> bad = {
        {"netconf-udp", "--ip", "192.0.2.20"},
        {"netconf-udp", "--old-ip", "192.0.2", "--ip", "192.0.2.20"},
        {"netconf-udp", "--old-ip", "192.0.2.10"},
        {"netconf-udp", "--old-ip", "192.0.2.10", "--ip", "192.0.2.20", "--to", "127.0.0.1",
         "--interface", "lo"},
        {"netconf-udp", "--old-ip", "192.0.2.10", "--ip", "1.2.3.4", "--interface", "nosuchif0"},
        {"search", "--interface", "nosuchif0"},
    };
    for (const auto &args : bad) {
        r = run_ctl(args);
        EXPECT_EQ(r.status, 2) << args[1] << " " << r.err;
    }
    EXPECT_EQ(receive(fd, 300, &from), "");
    close(fd);
}

} // namespace
