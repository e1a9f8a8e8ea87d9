// The ten TCP commands of the real daemon, byte for byte, and the framing of
// requests on port 8001.
#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/board.h"

namespace
{

const std::string R0 = reply(0), R1 = reply(1), LONGEST = "http://h/" + std::string(246, 'a'),
                  URL = "{\n\t\"response\":\t1,\n\t\"Data\":\t\""; // then the URL, "\"\n}"

std::string net(const std::string &ip)
{
    return cmd("CMD_SetNetConf",
               R"({"IP":")" + ip + R"(","Mask":"","Gateway":"","DNS":"","MAC":""})");
}

// Each request with its exact reply and the requests it makes of the reader,
// in order: a script over one daemon.
const struct {
    std::string request, reply;
    const char *rx = "";    // the reader's request, if any
    const char *fault = ""; // reader fault armed before the request
} SCRIPT[] = {
    {cmd("CMD_SetReaderInfo", R"({"devAddr":5,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":1})"),
     R1, "90 set-info data=0A141E000101"},
    {cmd("CMD_CtrBuzzer"), R1, "92 buzzer"},
    {cmd("CMD_CtrRelay", R"("whatever")"), R1, "93 relay"},
    {cmd("CMD_CtrLight", "[1,2]"), R1, "94 light"},
    {cmd("CMD_CtrDevice", R"({"Light":3,"Buzzer":0,"Relay":1})"), R1, "97 device data=030001"},
    // Numbers keep their low 8 bits, fractions are cut toward zero, true is 1.
    {cmd("CMD_SetReaderInfo",
         R"({"devAddr":-3,"tRelay":300,"tLight":2.9,"tBuzzer":-1,"Status":true})"),
     R1, "90 set-info data=2C02FF000101"},
    // A failing reader leaves the new device address stored all the same.
    {cmd("CMD_SetReaderInfo",
         R"({"devAddr":-77,"tRelay":300,"tLight":2.9,"tBuzzer":-1,"Status":true})"),
     R0, "90 set-info data=2C02FF000101", "status=05,cmd=90"},
    // Keys in any case, but the exact command name.
    {R"({"command":"CMD_CtrRelay"})", R1, "93 relay"},
    {R"({"COMMAND":"CMD_CtrDevice","data":{"LIGHT":4,"buzzer":0,"Relay":0}})", R1,
     "97 device data=040000"},
    {cmd("cmd_ctrrelay"), R0},
    // A failing reader is 0, and the next request is served as usual.
    {cmd("CMD_CtrRelay"), R0, "93 relay", "status=05,cmd=93"},
    {cmd("CMD_GetReaderInfo"), R0, "91 get-info", "silence,cmd=91"},
    {cmd("CMD_CtrRelay"), R1, "93 relay"},
    {cmd("CMD_GetNetConf"),
     "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"IP\":\t\"192.0.2.10\",\n\t\t\"Mask\":\t"
     "\"255.255.255.0\",\n\t\t\"Gateway\":\t\"192.0.2.1\",\n\t\t\"DNS\":\t\"192.0.2.1\",\n"
     "\t\t\"MAC\":\t\"02:00:c0:00:02:0a\"\n\t}\n}"},
    // The service URL: up to 255 characters, stored as it is.
    {cmd("CMD_SetUrlAddr", '"' + LONGEST + '"'), R1},
    {cmd("CMD_SetUrlAddr", '"' + LONGEST + "b\""), R0},
    {cmd("CMD_GetUrlAddr"), URL + LONGEST + "\"\n}"},
    {cmd("CMD_SetUrlAddr", R"("http://x/it's")"), R1},
    // What the command set cannot read is 0 and does nothing at all.
    {"[1,2,3]", R0},
    {R"({"Command":5})", R0},
    {cmd("CMD_CtrDevice", R"({"Light":3,"Buzzer":0})"), R0},
    {cmd("CMD_SetUrlAddr"), R0},
    {cmd("CMD_SetNetConf", R"({"IP":"1.2.3.4","Mask":"","Gateway":"","DNS":""})"), R0},
    {net("1.2.3.4\\nX=1"), R0}, // not an address
    {R"({"Command":"CMD_Ctr)", R0},
    // What was stored, and none of the above.
    {cmd("CMD_GetReaderInfo"),
     "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devAddr\":\t-77,\n\t\t\"tRelay\":\t44,\n"
     "\t\t\"tLight\":\t2,\n\t\t\"tBuzzer\":\t255,\n\t\t\"Status\":\t1\n\t}\n}",
     "91 get-info"},
    {cmd("CMD_GetUrlAddr"), URL + "http://x/it's\"\n}"},
};

using TcpRoad = QuietBoard;

} // namespace

TEST_F(TcpRoad, EveryCommandAnswersExactly)
{
    for (const auto &s : SCRIPT) {
        SCOPED_TRACE(s.request);
        size_t from = b.mark();
        ASSERT_TRUE(!*s.fault || b.fault(s.fault));
        EXPECT_EQ(ask(s.request), s.reply);
        b.drain(); // the reader logs a request before it answers it
        EXPECT_EQ(reader_requests(b.reader, from),
                  *s.rx ? std::vector<std::string>{s.rx} : std::vector<std::string>{});
    }
    EXPECT_EQ(read_file(NETCONF), b.netconf);
    EXPECT_TRUE(reboot_lines().empty());

    // Unreadable database: {"response":0}, no "Data"; a device address that
    // cannot be stored is a failure, though the reader is still set.
    std::string stored = read_file("/etc/reader.db");
    ASSERT_TRUE(write_file("/etc/reader.db", "not a database"));
    EXPECT_EQ(ask(cmd("CMD_GetUrlAddr")), R0);
    EXPECT_EQ(ask(SCRIPT[0].request), R0);
    EXPECT_TRUE(b.reader.wait_for(SCRIPT[0].rx, 3000));
    ASSERT_TRUE(write_file("/etc/reader.db", stored));
}

TEST_F(TcpRoad, NetworkChangeIsStoredThenTheDeviceReboots)
{
    // Only IP given: only the first line changes; the reboot follows the
    // reply after a pause. The request is ended by closing the sending side,
    // so the reply leaves at once.
    long long sent = realtime_ms();
    EXPECT_EQ(ask(net("192.0.2.77")), R1);
    long long replied = realtime_ms();
    std::vector<std::string> boots = reboot_lines(1);
    ASSERT_EQ(boots.size(), 1u);
    EXPECT_GE(atoll(boots[0].c_str() + 7) - sent, 45); // the pause before the reboot
    EXPECT_LT(atoll(boots[0].c_str() + 7) - replied, 2000);
    std::string want = "IP=192.0.2.77" + b.netconf.substr(b.netconf.find('\n'));
    EXPECT_EQ(read_file(NETCONF), want);

    // All five empty: the file is written as it was, the device reboots, and
    // the server reads on on the same connection.
    int fd = tcp_connect(8001);
    ASSERT_TRUE(send_all(fd, net("")));
    EXPECT_EQ(read_reply(fd, 5000), R1);
    ASSERT_TRUE(send_all(fd, cmd("CMD_GetUrlAddr")));
    EXPECT_EQ(read_reply(fd, 5000).rfind("{\n\t\"response\":\t1,", 0), 0u);
    close(fd);
    EXPECT_EQ(read_file(NETCONF), want);
    EXPECT_EQ(reboot_lines(2).size(), 2u);
}

// Requests are cut by 200 ms of silence and by the 1023-byte limit.
TEST_F(TcpRoad, RequestFraming)
{
    size_t from = b.mark();
    // Two requests less than 200 ms apart are one text: one reply, one command.
    int fd = tcp_connect(8001);
    ASSERT_TRUE(send_all(fd, cmd("CMD_CtrBuzzer")));
    usleep(50000);
    ASSERT_TRUE(send_all(fd, cmd("CMD_CtrRelay")));
    EXPECT_EQ(read_reply(fd, 5000), R1);
    EXPECT_EQ(read_reply(fd, 600), "");

    // 1023 bytes, then a second request: both are carried out, in turn.
    std::string first = cmd("CMD_CtrLight");
    first.resize(1023, ' ');
    ASSERT_TRUE(send_all(fd, first + cmd("CMD_CtrDevice", R"({"Light":2,"Buzzer":1,"Relay":0})")));
    EXPECT_EQ(read_reply(fd, 5000), R1);
    EXPECT_EQ(read_reply(fd, 5000), R1);
    close(fd);
    b.drain();
    std::vector<std::string> want = {"92 buzzer", "94 light", "97 device data=020100"};
    EXPECT_EQ(reader_requests(b.reader, from), want);

    // A peer that connects and goes, or asks and goes before the reply.
    close(tcp_connect(8001));
    fd = tcp_connect(8001);
    ASSERT_TRUE(send_all(fd, cmd("CMD_GetNetConf")));
    close(fd);
    usleep(400000);
    EXPECT_EQ(ask(cmd("CMD_CtrRelay")), R1);
    EXPECT_EQ(b.daemon.wait_exit(0), -1) << "daemon ended";
}

// While a client waits, whoever holds the port keeps it only for a bounded
// time: a session that sends a byte every 300 ms (each one a request), one
// whose bytes come every 100 ms (a request that never ends), or ten
// connections ahead that stay silent. The waiting client is answered within
// the configuration tool's time-out, and the busy session is closed.
TEST_F(TcpRoad, WaitingClientIsServedInTurn)
{
    const std::pair<int, int> cases[] = {{1, 300000}, {1, 100000}, {10, 0}}; // ahead, byte every us
    for (auto [ahead, us] : cases) {
        SCOPED_TRACE(std::to_string(ahead) + " ahead, " + std::to_string(us));
        std::vector<int> fds;
        for (int i = 0; i < ahead; i++)
            fds.push_back(tcp_connect(8001));
        std::atomic<bool> done{false};
        std::thread trickle([&, us = us] {
            for (int i = 0; us && i < 150 && !done && send(fds[0], "x", 1, MSG_NOSIGNAL) == 1; i++)
                usleep(us);
        });
        usleep(300000);
        EXPECT_EQ(ask(cmd("CMD_GetUrlAddr"), 9000).rfind(URL, 0), 0u);
        done = true;
        trickle.join();
        // What the first had: answers to its requests, or nothing.
        EXPECT_EQ(read_reply(fds[0], 3000, false).substr(0, R0.size()), us == 300000 ? R0 : "");
        for (int fd : fds)
            close(fd);
    }
}

// The daemon's standard output is a pipe whose reader goes away: writes to it
// fail, and the daemon goes on serving.
TEST(TcpLog, DaemonSurvivesItsLogGoingAway)
{
    Board b;
    ASSERT_TRUE(
        b.start_daemon({"/bin/bash", "-c", "exec $GW_EMULATOR \"$0\" > >(head -c 1 >/dev/null)",
                        gw_bin("gatewarden")}));
    for (int i = 0; i < 5; i++, usleep(100000))
        EXPECT_EQ(ask(cmd("CMD_GetNetConf")).rfind("{\n\t\"response\":\t1,", 0), 0u) << i;
    EXPECT_EQ(b.daemon.wait_exit(0), -1) << "daemon ended";
}
