// The ten TCP commands of the real daemon, byte for byte, and the framing of
// requests on port 8001.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/board.h"

namespace
{

const char NETCONF[] = "/etc/eth0-setting";

class TcpRoad : public testing::Test
{
  protected:
    Board b;
    std::string saved_netconf;

    void SetUp() override
    {
        REQUIRE_SANDBOX();
        saved_netconf = read_file(NETCONF);
        ASSERT_TRUE(b.start_reader({"--quiet-polls"}));
        ASSERT_TRUE(b.start_daemon());
    }
    void TearDown() override
    {
        if (in_sandbox() && !saved_netconf.empty())
            write_file(NETCONF, saved_netconf);
    }

    // The reader's request lines that arrive within ms (the last request
    // has been answered already, so they are all there).
    std::vector<std::string> reader_rx(int ms = 100)
    {
        usleep(ms * 1000);
        b.drain();
        std::vector<std::string> rx = reader_requests(b.reader);
        b.reader.drain();
        return rx;
    }
    size_t mark() { return (b.drain(), reader_requests(b.reader).size()); }
    std::vector<std::string> rx_since(size_t from)
    {
        std::vector<std::string> all = reader_rx();
        return std::vector<std::string>(all.begin() + static_cast<long>(std::min(from, all.size())),
                                        all.end());
    }
};

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

std::string value_of(const std::string &line)
{
    return line.substr(line.find('=') + 1);
}

} // namespace

TEST_F(TcpRoad, ReaderCommandsReachTheReaderAndAnswerExactly)
{
    size_t m = mark();
    EXPECT_EQ(ask(R"({"Command":"CMD_SetReaderInfo","Data":{"devAddr":5,"tRelay":10,)"
                  R"("tLight":20,"tBuzzer":30,"Status":1}})"),
              reply(1));
    EXPECT_EQ(db_dev_addr(), 5);
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrBuzzer"})"), reply(1));
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay","Data":"whatever"})"), reply(1));
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrLight","Data":[1,2]})"), reply(1));
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrDevice","Data":{"Light":3,"Buzzer":0,"Relay":1}})"),
              reply(1));
    std::vector<std::string> rx = rx_since(m);
    std::vector<std::string> want = {"rx 90 set-info data=0A141E000101", "rx 92 buzzer",
                                     "rx 93 relay", "rx 94 light", "rx 97 device data=030001"};
    EXPECT_EQ(rx, want);

    // The settings as the reader reports them.
    std::string got = ask(R"({"Command":"CMD_GetReaderInfo"})");
    b.drain();
    std::string tx;
    for (auto &l : b.reader.lines())
        if (l.find(" tx status=00 data=") != std::string::npos)
            tx = l.substr(l.find("data=") + 5);
    ASSERT_EQ(tx.size(), 12u) << "no settings reply from the reader";
    auto byte = [&](int i) { return std::to_string(std::stoi(tx.substr(2 * i, 2), nullptr, 16)); };
    EXPECT_EQ(got,
              "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devAddr\":\t5,\n\t\t\"tRelay\":\t" +
                  byte(0) + ",\n\t\t\"tLight\":\t" + byte(1) + ",\n\t\t\"tBuzzer\":\t" + byte(2) +
                  ",\n\t\t\"Status\":\t" + byte(5) + "\n\t}\n}");
}

// Numbers keep their low 8 bits, fractions are cut toward zero, true is 1.
TEST_F(TcpRoad, NumbersWrapAndTruncateOnTheWire)
{
    size_t m = mark();
    EXPECT_EQ(ask(R"({"Command":"CMD_SetReaderInfo","Data":{"devAddr":-3,"tRelay":300,)"
                  R"("tLight":2.9,"tBuzzer":-1,"Status":true}})"),
              reply(1));
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrDevice","Data":{"Light":-1,"Buzzer":2.9,"Relay":256}})"),
              reply(1));
    std::vector<std::string> want = {"rx 90 set-info data=2C02FF000101",
                                     "rx 97 device data=FF0200"};
    EXPECT_EQ(rx_since(m), want);
    EXPECT_EQ(db_dev_addr(), -3);
}

// Keys are found in any case; the command name must match exactly.
TEST_F(TcpRoad, KeysOfAnyCaseButExactCommandNames)
{
    size_t m = mark();
    EXPECT_EQ(ask(R"({"command":"CMD_CtrRelay"})"), reply(1));
    EXPECT_EQ(ask(R"({"COMMAND":"CMD_CtrDevice","data":{"LIGHT":4,"buzzer":0,"Relay":0}})"),
              reply(1));
    EXPECT_EQ(ask(R"({"Command":"cmd_ctrrelay"})"), reply(0));
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay ","Data":{}})"), reply(0));
    std::vector<std::string> want = {"rx 93 relay", "rx 97 device data=040000"};
    EXPECT_EQ(rx_since(m), want);
}

// Requests the command set cannot read are answered {"response":0} and do
// nothing at all.
TEST_F(TcpRoad, MalformedRequestsAnswerZeroAndChangeNothing)
{
    std::string url = db_url();
    int dev = db_dev_addr();
    size_t m = mark();
    const char *bad[] = {
        R"([1,2,3])",
        R"("CMD_CtrRelay")",
        R"({"Command":5})",
        R"({"Data":{}})",
        R"({"Command":"CMD_CtrDevice"})",
        R"({"Command":"CMD_CtrDevice","Data":"3,0,1"})",
        R"({"Command":"CMD_CtrDevice","Data":{"Light":3,"Buzzer":0}})",
        R"({"Command":"CMD_SetReaderInfo","Data":{"devAddr":1,"tRelay":1,"tLight":1,"tBuzzer":1}})",
        R"({"Command":"CMD_SetUrlAddr"})",
        R"({"Command":"CMD_SetUrlAddr","Data":42})",
        R"({"Command":"CMD_SetNetConf","Data":{"IP":"1.2.3.4","Mask":"","Gateway":"","DNS":""}})",
        R"({"Command":"CMD_SetNetConf","Data":{"IP":1,"Mask":"","Gateway":"","DNS":"","MAC":""}})",
        R"({"Command":"CMD_SetNetConf","Data":"1.2.3.4"})",
        R"({"Command":"CMD_Ctr)",
        "",
    };
    for (const char *req : bad)
        EXPECT_EQ(ask(req), std::string(*req ? reply(0) : "")) << req;
    EXPECT_EQ(rx_since(m), std::vector<std::string>());
    EXPECT_EQ(db_url(), url);
    EXPECT_EQ(db_dev_addr(), dev);
    EXPECT_EQ(read_file(NETCONF), saved_netconf);
    EXPECT_TRUE(reboot_lines().empty());
    // Every request is logged before it is handled.
    EXPECT_GE(count_lines(b.daemon, R"({"Command":"CMD_CtrDevice","Data":"3,0,1"})"), 1);
}

TEST_F(TcpRoad, ReaderFailureAnswersZero)
{
    b.reader.write_stdin("fault status=05,cmd=93\n");
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(0));
    b.reader.write_stdin("fault silence,cmd=91\n");
    EXPECT_EQ(ask(R"({"Command":"CMD_GetReaderInfo"})"), reply(0));
    // The next requests are answered as usual.
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(1));
    std::string info = ask(R"({"Command":"CMD_GetNetConf"})");
    EXPECT_TRUE(starts_with(info, "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n")) << info;
}

TEST_F(TcpRoad, NetworkSettingsReadChangeAndReboot)
{
    std::vector<std::string> file = lines_of(saved_netconf);
    ASSERT_EQ(file.size(), 5u);
    EXPECT_EQ(ask(R"({"Command":"CMD_GetNetConf"})"),
              "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"IP\":\t\"" + value_of(file[0]) +
                  "\",\n\t\t\"Mask\":\t\"" + value_of(file[1]) + "\",\n\t\t\"Gateway\":\t\"" +
                  value_of(file[2]) + "\",\n\t\t\"DNS\":\t\"" + value_of(file[3]) +
                  "\",\n\t\t\"MAC\":\t\"" + value_of(file[4]) + "\"\n\t}\n}");

    // Values that do not fit the record are refused, nothing written.
    std::string long_value(64, '1');
    EXPECT_EQ(ask(R"({"Command":"CMD_SetNetConf","Data":{"IP":")" + long_value +
                  R"(","Mask":"","Gateway":"","DNS":"","MAC":""}})"),
              reply(0));
    EXPECT_EQ(ask(R"({"Command":"CMD_SetNetConf","Data":{"IP":"1.2.3.4\nX=1","Mask":"",)"
                  R"("Gateway":"","DNS":"","MAC":""}})"),
              reply(0));
    EXPECT_EQ(read_file(NETCONF), saved_netconf);
    EXPECT_TRUE(reboot_lines().empty());

    // Only IP given: only the first line changes; the reboot follows the
    // reply after a pause. The request is ended by closing the sending side,
    // so the reply leaves at once.
    int fd = tcp_connect();
    ASSERT_GE(fd, 0);
    long long sent = realtime_ms();
    ASSERT_TRUE(send_all(fd, R"({"Command":"CMD_SetNetConf","Data":{"IP":"192.0.2.77",)"
                             R"("Mask":"","Gateway":"","DNS":"","MAC":""}})"));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_reply(fd, 5000), reply(1));
    long long replied = realtime_ms();
    close(fd);
    double until = now_ms() + 3000;
    while (reboot_lines().empty() && now_ms() < until)
        usleep(10000);
    std::vector<std::string> boots = reboot_lines();
    ASSERT_EQ(boots.size(), 1u);
    long long at = atoll(boots[0].c_str() + 7);
    EXPECT_GE(at - sent, 45); // the pause before the reboot
    EXPECT_LT(at - replied, 2000);
    std::vector<std::string> now = lines_of(read_file(NETCONF));
    ASSERT_EQ(now.size(), 5u);
    EXPECT_EQ(now[0], file[0].substr(0, file[0].find('=') + 1) + "192.0.2.77");
    for (int i = 1; i < 5; i++)
        EXPECT_EQ(now[i], file[i]);

    // All five empty: the file is written as it was, the device reboots, and
    // the server reads on on the same connection.
    std::string before = read_file(NETCONF);
    fd = tcp_connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, R"({"Command":"CMD_SetNetConf","Data":{"IP":"","Mask":"",)"
                             R"("Gateway":"","DNS":"","MAC":""}})"));
    EXPECT_EQ(read_reply(fd, 5000), reply(1));
    ASSERT_TRUE(send_all(fd, R"({"Command":"CMD_GetUrlAddr"})"));
    EXPECT_TRUE(starts_with(read_reply(fd, 5000), "{\n\t\"response\":\t1,"));
    close(fd);
    EXPECT_EQ(read_file(NETCONF), before);
    EXPECT_EQ(reboot_lines().size(), 2u);
}

TEST_F(TcpRoad, ServiceUrlReadAndChange)
{
    std::string url = "http://127.0.0.1:9/ws/AccessGate";
    EXPECT_EQ(ask(R"({"Command":"CMD_SetUrlAddr","Data":")" + url + R"("})"), reply(1));
    EXPECT_EQ(db_url(), url);
    EXPECT_EQ(ask(R"({"Command":"CMD_GetUrlAddr"})"),
              "{\n\t\"response\":\t1,\n\t\"Data\":\t\"http://127.0.0.1:9/ws/AccessGate\"\n}");

    std::string longest = "http://h/" + std::string(255 - 9, 'a');
    EXPECT_EQ(ask(R"({"Command":"CMD_SetUrlAddr","Data":")" + longest + R"("})"), reply(1));
    EXPECT_EQ(db_url(), longest);
    EXPECT_EQ(ask(R"({"Command":"CMD_SetUrlAddr","Data":")" + longest + R"(b"})"), reply(0));
    EXPECT_EQ(db_url(), longest);

    // A quote is stored as it is; an empty URL too.
    EXPECT_EQ(ask(R"({"Command":"CMD_SetUrlAddr","Data":"http://x/it's"})"), reply(1));
    EXPECT_EQ(db_url(), "http://x/it's");
    EXPECT_EQ(ask(R"({"Command":"CMD_SetUrlAddr","Data":""})"), reply(1));
    EXPECT_EQ(ask(R"({"Command":"CMD_GetUrlAddr"})"),
              "{\n\t\"response\":\t1,\n\t\"Data\":\t\"\"\n}");

    // Unreadable database: {"response":0}, no "Data".
    ASSERT_TRUE(db_exec("alter table readerInfo rename to gone"));
    EXPECT_EQ(ask(R"({"Command":"CMD_GetUrlAddr"})"), reply(0));
    ASSERT_TRUE(db_exec("alter table gone rename to readerInfo"));
}

// Requests are cut by 200 ms of silence and by the 1023-byte limit.
TEST_F(TcpRoad, RequestFraming)
{
    size_t m = mark();
    // Two requests less than 200 ms apart are one text: one reply, one command.
    int fd = tcp_connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, R"({"Command":"CMD_CtrBuzzer"})"));
    usleep(50000);
    ASSERT_TRUE(send_all(fd, R"({"Command":"CMD_CtrRelay"})"));
    EXPECT_EQ(read_reply(fd, 5000), reply(1));
    EXPECT_EQ(read_reply(fd, 600), "");

    // 1023 bytes, then a second request: both are carried out, in turn.
    std::string first = R"({"Command":"CMD_CtrLight"})";
    first.resize(1023, ' ');
    ASSERT_TRUE(send_all(fd, first + R"({"Command":"CMD_CtrDevice","Data":{"Light":2,)"
                                     R"("Buzzer":1,"Relay":0}})"));
    EXPECT_EQ(read_reply(fd, 5000), reply(1));
    EXPECT_EQ(read_reply(fd, 5000), reply(1));
    close(fd);
    std::vector<std::string> want = {"rx 92 buzzer", "rx 94 light", "rx 97 device data=020100"};
    EXPECT_EQ(rx_since(m), want);

    // A peer that connects and goes, or asks and goes before the reply.
    fd = tcp_connect();
    close(fd);
    fd = tcp_connect();
    ASSERT_TRUE(send_all(fd, R"({"Command":"CMD_GetNetConf"})"));
    close(fd);
    usleep(400000);
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(1));
    EXPECT_EQ(b.daemon.wait_exit(0), -1) << "daemon ended";
    b.drain();
    EXPECT_GE(count_lines(b.daemon, "Server accept client connect 127.0.0.1"), 4);
}
