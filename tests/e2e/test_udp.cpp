// Discovery and network set-up on UDP port 8000 of the real daemon, inside
// the sandbox's own network.
#include <arpa/inet.h>
#include <cstring>
#include <unistd.h>

#include "tests/e2e/board.h"

namespace
{

const std::string IP = "192.0.2.10"; // the sandbox's own

std::string setup(const std::string &old_ip, const std::string &ip)
{
    return R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + old_ip + R"(","IP":")" + ip +
           R"(","Mask":"","Gateway":"","DNS":"","MAC":""}})";
}

using UdpRoad = QuietBoard;

} // namespace

// A search is answered once with the fixed text, broadcast to the searcher's
// port; anything else gets no answer, and set-ups not meant for this
// controller, or that it cannot read or store, change nothing; one that is
// rewrites the file. (That
// answering leaves no descriptor behind the daemon benchmark measures.)
TEST_F(UdpRoad, SearchIsAnsweredByBroadcastAndAnythingElseIgnored)
{
    Udp u;
    std::string got;
    const std::pair<std::string, const char *> searches[] = {
        {SEARCH, "127.0.0.1"},
        {SEARCH, "255.255.255.255"},
        // Keys in any case, and only the first JSON value counts.
        {R"({"command":"CMD_SearchReader","DATA":"TcpReader Request"} junk)", "127.0.0.1"},
        {std::string(1023 - SEARCH.size(), ' ') + SEARCH, "127.0.0.1"}, // within the 1023 read
    };
    for (const auto &[text, to] : searches) {
        SCOPED_TRACE(text.substr(text.find('{')) + " to " + to);
        ASSERT_TRUE(u.send(text, to));
        in_addr dst = {};
        ASSERT_TRUE(u.recv(got, 3000, &dst)) << "no answer";
        EXPECT_EQ(got, "TcpReader Response");
        EXPECT_EQ(dst.s_addr, htonl(INADDR_BROADCAST));
        EXPECT_FALSE(u.recv(got, 200)) << "answered twice";
    }

    ASSERT_EQ(b.netconf.rfind("IP=" + IP + "\n", 0), 0u);
    const std::string ignored[] = {
        R"({"Command":"CMD_SearchReader","Data":"TcpReader Request "})",
        R"({"Command":"cmd_searchreader","Data":"TcpReader Request"})",
        R"({"Command":"CMD_GetNetConf"})",
        R"(["CMD_SearchReader"])",
        std::string(1024 - SEARCH.size(), ' ') + SEARCH, // its end is cut off
        setup("192.0.2.11", "192.0.2.99"),
        R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + IP + R"(","IP":"192.0.2.99"}})",
    };
    for (const auto &d : ignored) {
        ASSERT_TRUE(u.send(d));
        EXPECT_FALSE(u.recv(got, 200)) << d;
    }
    usleep(300000);
    EXPECT_EQ(read_file(NETCONF), b.netconf);
    EXPECT_TRUE(reboot_lines().empty());

    long long sent = realtime_ms();
    ASSERT_TRUE(u.send(R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.0.2.10",)"
                       R"("IP":"192.0.2.20","Mask":"255.255.0.0","Gateway":"",)"
                       R"("DNS":"192.0.2.53","MAC":""}})",
                       "255.255.255.255"));
    std::vector<std::string> boots = reboot_lines(1);
    ASSERT_EQ(boots.size(), 1u);
    EXPECT_GE(atoll(boots[0].c_str() + 7) - sent, 40);
    EXPECT_EQ(read_file(NETCONF), "IP=192.0.2.20\nMask=255.255.0.0\nGateway=192.0.2.1\n"
                                  "DNS=192.0.2.53\nMAC=02:00:c0:00:02:0a\n");
    EXPECT_FALSE(u.recv(got, 200)) << "a set-up is never answered";
}
