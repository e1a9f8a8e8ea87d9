// gatewardenctl search and netconf-udp against fake controllers on loopback
// (unicast only: broadcasts are tried in the sandbox test).
#include "tests/ctl/ctl_harness.h"

#include <arpa/inet.h>

// The exact request; each controller that answers listed once, by its
// address, whatever else arrives; and no answer at all.
TEST(CtlUdp, SearchSendsTheExactRequestAndListsEachControllerOnce)
{
    const char *const answers[][2] = {{"127.0.0.2", "TcpReader Response"},
                                      {"127.0.0.3", "TcpReader Response"},
                                      {"127.0.0.2", "TcpReader Response"},
                                      {"127.0.0.5", "TcpReader Respons"}};
    const struct {
        bool answer;
        int status;
        const char *out, *err;
    } forms[] = {
        {true, 0, "127.0.0.2\n127.0.0.3\n", ""},
        {false, 3, "", "no controller answered within 1000 ms"},
    };
    Udp fake("127.0.0.1");
    for (const auto &f : forms) {
        SCOPED_TRACE(f.out);
        std::string request;
        CtlResult r =
            run_ctl("search --to 127.0.0.1 -t 1000 -p " + std::to_string(fake.port()), [&] {
                sockaddr_in tool = {};
                fake.recv(request, 10000, nullptr, &tool);
                for (size_t i = 0; f.answer && i < 4; i++)
                    Udp(answers[i][0]).send(answers[i][1], "127.0.0.1", ntohs(tool.sin_port));
            });
        EXPECT_EQ(request, cmd("CMD_SearchReader", R"("TcpReader Request")"));
        EXPECT_EQ(r.status, f.status) << r.err;
        EXPECT_EQ(r.out, f.out);
        EXPECT_NE(r.err.find(f.err), std::string::npos) << r.err;
        EXPECT_GE(r.ms, 1000); // it listens for the whole time-out
    }
}

TEST(CtlUdp, NetconfUdpSendsOldIpAndTheNewValuesInOneDatagram)
{
    Udp fake("127.0.0.1");
    const std::string to = " --to 127.0.0.1 -p " + std::to_string(fake.port());
    CtlResult r = run_ctl("netconf-udp --old-ip 192.0.2.10 --ip 192.0.2.20 --dns 192.0.2.53" + to);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string got;
    EXPECT_TRUE(fake.recv(got, 2000));
    EXPECT_EQ(got, cmd("CMD_SetNetConf", R"({"OldIP":"192.0.2.10","IP":"192.0.2.20","Mask":"",)"
                                         R"("Gateway":"","DNS":"192.0.2.53","MAC":""})"));

    // Refused before anything is sent (to loopback, should it be).
    for (const char *bad : {"--ip 192.0.2.20", "--old-ip 192.0.2 --ip 192.0.2.20"})
        EXPECT_EQ(run_ctl(std::string("netconf-udp ") + bad + to).status, 2) << bad;
    EXPECT_FALSE(fake.recv(got, 300)); // one datagram only
}
