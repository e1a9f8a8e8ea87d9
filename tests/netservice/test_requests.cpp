// The two request handlers on plain buffers, with a stand-in hardware thread
// and the sandbox's real settings files.
#include <atomic>
#include <cstring>
#include <random>
#include <sqlite3.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/slot.h"
#include "netservice/netrequest.h"
#include "netservice/tcpserver.h"
#include "settings/netconfig.h"
#include "tests/support/process.h"

namespace
{

const char NETCONF[] = "/etc/eth0-setting";

bool in_sandbox()
{
    const char *s = getenv("GW_SANDBOX");
    return s && strcmp(s, "1") == 0;
}

std::string read_text(const char *path)
{
    std::string out;
    if (FILE *f = fopen(path, "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        fclose(f);
    }
    return out;
}

void write_text(const char *path, const std::string &text)
{
    if (FILE *f = fopen(path, "wb")) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

bool reader_db(const char *sql)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open("/etc/reader.db", &db) == SQLITE_OK &&
              sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// Completes every posted command with 0; 145 reports 10, 20, 30, 1.
class FakeHardware
{
  public:
    FakeHardware()
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                slot_cmd cmd;
                if (slot_take(&cmd) == SLOT_IDLE) {
                    slot_wait_posted(20);
                    continue;
                }
                if (cmd.code == SLOT_GET_READER_INFO) {
                    cmd.args.t_relay = 10;
                    cmd.args.t_light = 20;
                    cmd.args.t_buzzer = 30;
                    cmd.args.t_status = 1;
                }
                taken++;
                slot_complete(&cmd, 0);
            }
        });
    }
    ~FakeHardware()
    {
        stop_ = true;
        thread_.join();
    }
    std::atomic<int> taken{0};

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Requests : public testing::Test
{
  protected:
    std::string saved;
    void SetUp() override
    {
        if (!in_sandbox())
            GTEST_SKIP() << "needs scripts/board-sandbox";
        slot_init();
        saved = read_text(NETCONF);
        ASSERT_FALSE(saved.empty());
    }
    void TearDown() override
    {
        if (in_sandbox())
            write_text(NETCONF, saved);
    }
};

std::string value_line(const std::string &file, int line)
{
    size_t start = 0;
    for (int i = 0; i < line; i++)
        start = file.find('\n', start) + 1;
    size_t eq = file.find('=', start), nl = file.find('\n', start);
    return file.substr(eq + 1, nl - eq - 1);
}

} // namespace

// The UDP set-up and the TCP command change different entries of the same
// file at the same time: with each read-modify-write whole, no change is lost.
TEST_F(Requests, NetworkChangesFromBothServicesLoseNothing)
{
    std::string ip = value_line(saved, 0);
    const int rounds = 1000;
    std::atomic<int> failed{0};
    std::thread udp([&] {
        for (int i = 1; i <= rounds; i++) {
            std::string req = R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + ip +
                              R"(","IP":"","Mask":"","Gateway":"10.0.0.)" + std::to_string(i) +
                              R"(","DNS":"","MAC":""}})";
            int outcome;
            if (udp_request(&req[0], &outcome) != REQ_SET_NET_CONF || outcome != 0)
                failed++;
        }
    });
    std::thread tcp([&] {
        for (int i = 1; i <= rounds; i++) {
            std::string req = R"({"Command":"CMD_SetNetConf","Data":{"IP":"","Mask":"",)"
                              R"("Gateway":"","DNS":"10.9.9.)" +
                              std::to_string(i) + R"(","MAC":""}})";
            int outcome;
            if (tcp_request(&req[0], &outcome) != REQ_SET_NET_CONF || outcome != 0)
                failed++;
        }
    });
    udp.join();
    tcp.join();
    EXPECT_EQ(failed.load(), 0);
    std::string now = read_text(NETCONF);
    EXPECT_EQ(value_line(now, 0), ip);
    EXPECT_EQ(value_line(now, 2), "10.0.0." + std::to_string(rounds));
    EXPECT_EQ(value_line(now, 3), "10.9.9." + std::to_string(rounds));
}

// Mutated requests by the ten thousand straight into both handlers: every
// one comes back with a known request code and a 0/-1 outcome.
TEST_F(Requests, HandlersTakeAnyBytes)
{
    FakeHardware hw;
    const char *seeds[] = {
        R"({"Command":"CMD_SetReaderInfo","Data":{"devAddr":5,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":1}})",
        R"({"Command":"CMD_CtrDevice","Data":{"Light":3,"Buzzer":0,"Relay":1}})",
        R"({"Command":"CMD_CtrRelay"})",
        R"({"Command":"CMD_GetReaderInfo"})",
        R"({"Command":"CMD_SetUrlAddr","Data":"http://127.0.0.1:9/ws/AccessGate"})",
        R"({"Command":"CMD_SetNetConf","Data":{"IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})",
        R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})",
        R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.0.2.10","IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})",
    };
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    const int known[] = {0, 16, 17, 18, 19, 32, 144, 145, 146, 147, 148, 151};
    int odd = 0;
    for (int i = 0; i < 20000; i++) {
        std::string s = seeds[i % 8];
        for (int e = 0; e < 1 + i % 4; e++) {
            size_t at = static_cast<size_t>(byte(rng)) % s.size();
            if (byte(rng) & 1)
                s[at] = static_cast<char>(byte(rng));
            else
                s.insert(at, 1, "{}[]\":,0-.e\\u"[byte(rng) % 14]);
        }
        char buf[REQUEST_BUF] = {};
        memcpy(buf, s.data(), std::min(s.size(), sizeof buf - 1));
        int outcome = 99;
        int code = (i & 1) ? udp_request(buf, &outcome) : tcp_request(buf, &outcome);
        bool ok = outcome == 0 || outcome == -1;
        ok = ok && std::find(std::begin(known), std::end(known), code) != std::end(known);
        if (!ok && ++odd < 5)
            ADD_FAILURE() << "[" << buf << "] code " << code << " outcome " << outcome;
    }
    EXPECT_EQ(odd, 0);
    EXPECT_GT(hw.taken.load(), 0);
}

// The settings reply when the device address cannot be read: "devAddr" 0,
// the reader's four values, "response" 1.
TEST_F(Requests, SettingsReplyWithoutDeviceAddress)
{
    FakeHardware hw;
    char req[] = R"({"Command":"CMD_GetReaderInfo"})";
    int outcome;
    ASSERT_EQ(tcp_request(req, &outcome), 145);
    ASSERT_EQ(outcome, 0);
    ASSERT_TRUE(reader_db("alter table readerInfo rename to gone"));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    tcp_reply(sv[0], 145, 0);
    ASSERT_TRUE(reader_db("alter table gone rename to readerInfo"));
    char buf[512] = {};
    ssize_t n = recv(sv[1], buf, sizeof buf - 1, 0);
    close(sv[0]);
    close(sv[1]);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(buf,
                 "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devAddr\":\t0,\n\t\t\"tRelay\":"
                 "\t10,\n\t\t\"tLight\":\t20,\n\t\t\"tBuzzer\":\t30,\n\t\t\"Status\":\t1\n\t}\n}");
}
