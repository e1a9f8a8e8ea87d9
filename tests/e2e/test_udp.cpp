// Discovery and network set-up on UDP port 8000 of the real daemon, inside
// the sandbox's own network.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/board.h"

namespace
{

const char NETCONF[] = "/etc/eth0-setting";
const char SEARCH[] = R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})";

class UdpRoad : public testing::Test
{
  protected:
    Board b;
    std::string saved_netconf;
    int fd = -1, port = 0;

    void SetUp() override
    {
        REQUIRE_SANDBOX();
        saved_netconf = read_file(NETCONF);
        ASSERT_TRUE(b.start_reader({"--quiet-polls"}));
        ASSERT_TRUE(b.start_daemon());
        fd = udp_open(&port);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        if (in_sandbox() && !saved_netconf.empty())
            write_file(NETCONF, saved_netconf);
    }
    std::string current_ip()
    {
        std::string f = read_file(NETCONF);
        size_t eq = f.find('='), nl = f.find('\n');
        return f.substr(eq + 1, nl - eq - 1);
    }
    std::string setup(const std::string &old_ip, const std::string &ip)
    {
        return R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + old_ip + R"(","IP":")" + ip +
               R"(","Mask":"","Gateway":"","DNS":"","MAC":""}})";
    }
};

} // namespace

// The answer is the fixed text, broadcast to the searcher's port.
TEST_F(UdpRoad, SearchIsAnsweredByBroadcastToTheSearchersPort)
{
    for (const char *to : {"127.0.0.1", "255.255.255.255"}) {
        ASSERT_TRUE(udp_send(fd, SEARCH, to));
        std::string got;
        in_addr dst = {};
        ASSERT_TRUE(udp_recv(fd, got, 3000, &dst)) << "no answer to a search sent to " << to;
        EXPECT_EQ(got, "TcpReader Response");
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &dst, text, sizeof text);
        EXPECT_STREQ(text, "255.255.255.255");
        EXPECT_FALSE(udp_recv(fd, got, 200)) << "answered twice";
    }
}

TEST_F(UdpRoad, AnythingElseGetsNoAnswer)
{
    const char *ignored[] = {
        R"({"Command":"CMD_SearchReader","Data":"TcpReader Request "})",
        R"({"Command":"CMD_SearchReader","Data":"tcpreader request"})",
        R"({"Command":"CMD_SearchReader"})",
        R"({"Command":"CMD_SearchReader","Data":{"x":"TcpReader Request"}})",
        R"({"Command":"cmd_searchreader","Data":"TcpReader Request"})",
        R"({"Command":"CMD_GetNetConf"})",
        R"(["CMD_SearchReader"])",
        "TcpReader Request",
        "",
    };
    for (const char *d : ignored) {
        ASSERT_TRUE(udp_send(fd, d));
        std::string got;
        EXPECT_FALSE(udp_recv(fd, got, 300)) << d;
    }
    // Keys in any case, and only the first JSON value counts.
    ASSERT_TRUE(udp_send(fd, R"({"command":"CMD_SearchReader","DATA":"TcpReader Request"} junk)"));
    std::string got;
    EXPECT_TRUE(udp_recv(fd, got, 3000));
}

TEST_F(UdpRoad, SetUpForAnotherControllerChangesNothing)
{
    ASSERT_TRUE(udp_send(fd, setup("192.0.2.11", "192.0.2.99"), "255.255.255.255"));
    ASSERT_TRUE(udp_send(fd, setup(current_ip() + " ", "192.0.2.99")));
    // Missing members, wrong kinds, values that do not fit: ignored as well.
    ASSERT_TRUE(udp_send(fd, R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + current_ip() +
                                 R"(","IP":"192.0.2.99"}})"));
    ASSERT_TRUE(udp_send(fd, setup(current_ip(), std::string(64, '9'))));
    ASSERT_TRUE(udp_send(fd, R"({"Command":"CMD_SetNetConf","Data":")" + current_ip() + R"("})"));
    usleep(500000);
    std::string got;
    EXPECT_FALSE(udp_recv(fd, got, 100));
    EXPECT_EQ(read_file(NETCONF), saved_netconf);
    EXPECT_TRUE(reboot_lines().empty());
    // Still answering.
    ASSERT_TRUE(udp_send(fd, SEARCH));
    EXPECT_TRUE(udp_recv(fd, got, 3000));
}

TEST_F(UdpRoad, MatchingSetUpRewritesTheFileAndReboots)
{
    std::string ip = current_ip();
    ASSERT_EQ(ip, "192.0.2.10");
    long long sent = realtime_ms();
    ASSERT_TRUE(udp_send(fd,
                         R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.0.2.10",)"
                         R"("IP":"192.0.2.20","Mask":"255.255.0.0","Gateway":"",)"
                         R"("DNS":"192.0.2.53","MAC":""}})",
                         "255.255.255.255"));
    double until = now_ms() + 3000;
    while (reboot_lines().empty() && now_ms() < until)
        usleep(20000);
    std::vector<std::string> boots = reboot_lines();
    ASSERT_EQ(boots.size(), 1u);
    EXPECT_GE(atoll(boots[0].c_str() + 7) - sent, 40);
    std::string now = read_file(NETCONF);
    std::string want = saved_netconf;
    auto replace_value = [&](int line, const std::string &v) {
        size_t start = 0;
        for (int i = 0; i < line; i++)
            start = want.find('\n', start) + 1;
        size_t eq = want.find('=', start), nl = want.find('\n', start);
        want.replace(eq + 1, nl - eq - 1, v);
    };
    replace_value(0, "192.0.2.20");
    replace_value(1, "255.255.0.0");
    replace_value(3, "192.0.2.53");
    EXPECT_EQ(now, want);
    std::string got;
    EXPECT_FALSE(udp_recv(fd, got, 200)) << "a set-up is never answered";
}

// Every search is answered, and no descriptor stays behind.
TEST_F(UdpRoad, ThousandSearchesLeaveNoDescriptors)
{
    std::string got;
    ASSERT_TRUE(udp_send(fd, SEARCH));
    ASSERT_TRUE(udp_recv(fd, got, 3000));
    usleep(100000); // the answer's socket is closed right after it is sent
    int before = open_fds(b.daemon.pid());
    ASSERT_GT(before, 0);
    int answered = 0;
    for (int i = 0; i < 1000; i++) {
        udp_send(fd, SEARCH);
        answered += udp_recv(fd, got, 2000) && got == "TcpReader Response";
    }
    EXPECT_EQ(answered, 1000);
    double until = now_ms() + 2000;
    while (open_fds(b.daemon.pid()) != before && now_ms() < until)
        usleep(10000);
    EXPECT_EQ(open_fds(b.daemon.pid()), before);
}

// A datagram of more than 1023 bytes is cut: a search padded past the limit
// loses its end and is not answered; one that ends within it is.
TEST_F(UdpRoad, LongDatagramsAreCut)
{
    std::string pad(1023 - strlen(SEARCH), ' ');
    std::string got;
    ASSERT_TRUE(udp_send(fd, pad + SEARCH));
    EXPECT_TRUE(udp_recv(fd, got, 3000));
    ASSERT_TRUE(udp_send(fd, pad + " " + SEARCH));
    EXPECT_FALSE(udp_recv(fd, got, 500));
}
