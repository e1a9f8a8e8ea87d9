// The request handlers and the reply step on plain buffers, with the
// sandbox's real settings files.
#include <atomic>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/slot.h"
#include "netservice/netrequest.h"
#include "tests/sql.h"
#include "tools/support/support.h"

// The UDP set-up and the TCP command change different entries of the same
// file at the same time: with each read-modify-write whole, each service
// finds its own last change in place every time.
TEST(Requests, NetworkChangesFromBothServicesLoseNothing)
{
    NetInfo saved = {};
    ASSERT_EQ(readNetConfig(&saved), 0);
    std::string ip = saved.entry[NET_IP].value;
    int bad[2] = {0, 0}; // failed or lost changes, per service
    std::atomic<int> started{0};
    auto changes = [&](bool udp) {
        for (started++; started < 2;) // both at once
            std::this_thread::yield();
        int mine = udp ? NET_GATEWAY : NET_DNS;
        std::string last = saved.entry[mine].value;
        for (int i = 1; i <= 1000; i++) {
            NetInfo now = {};
            readNetConfig(&now); // replaced whole by a rename: never half written
            bad[udp] += last != now.entry[mine].value;
            last =
                (udp ? "10.1." : "10.2.") + std::to_string(i / 100) + "." + std::to_string(i % 100);
            // The TCP command takes no "OldIP".
            std::string req = R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + ip +
                              R"(","IP":"","Mask":"","Gateway":")" + (udp ? last : "") +
                              R"(","DNS":")" + (udp ? "" : last) + R"(","MAC":""}})";
            mgmt_result res;
            int code = mgmt_handle(&req[0], udp ? MGMT_UDP : MGMT_TCP, nullptr, &res);
            bad[udp] += code != REQ_SET_NET_CONF || res.outcome != 0;
        }
    };
    std::thread udp(changes, true), tcp(changes, false);
    udp.join();
    tcp.join();
    EXPECT_EQ(bad[0] + bad[1], 0);
    NetInfo now = {};
    readNetConfig(&now);
    EXPECT_EQ(std::string(now.entry[NET_IP].value), ip);
    EXPECT_EQ(std::string(now.entry[NET_GATEWAY].value), "10.1.10.0");
    EXPECT_EQ(std::string(now.entry[NET_DNS].value), "10.2.10.0");
    writeNetConfig(&saved);
}

// Network changes as both services take them, on the sandbox's file: given
// values must have their form; a short or damaged file is mended whole when
// the entries it lacks are given, and written anew over TCP when missing.
TEST(Requests, NetworkChangesCheckedAndDamagedFilesMended)
{
    const std::string FIVE = "IP=192.0.2.10\nMask=255.255.255.0\nGateway=192.0.2.1\n"
                             "DNS=192.0.2.1\nMAC=02:00:00:00:00:01\n",
                      SHORT = "IP=192.0.2.10\n=\nGateway=192.0.2.1\n",
                      SAVED = read_file(NETCONFIG_PATH),
                      ALL = R"("IP":"192.0.2.10","Mask":"255.255.255.0","Gateway":"192.0.2.1",)"
                            R"("DNS":"192.0.2.1","MAC":"02:00:00:00:00:01")";
    const struct {
        std::string file, old_ip, set; // file "-": none; old_ip "-": over TCP
        std::string after, why;        // after "=": refused, unchanged
    } cases[] = {
        {FIVE, "-", R"("IP":"999.1.1.1")", "=", "IP \"999.1.1.1\" is not an IPv4 address"},
        {FIVE, "-", R"("Mask":"255.0.255.0")", "=", "Mask \"255.0.255.0\" is not a netmask"},
        {FIVE, "192.0.2.10", R"("MAC":"zz")", "=", "MAC \"zz\" is not a MAC address"},
        {FIVE, "192.0.2.11", R"("IP":"10.0.0.1")", "=", ""},
        {SHORT, "-", R"("DNS":"10.0.0.53")", "=", "/etc/eth0-setting lacks Mask; give it to mend"},
        {SHORT, "192.0.2.10", R"("Mask":"255.255.0.0","DNS":"10.0.0.53","MAC":"0A:0b:0C:0d:0E:0f")",
         "IP=192.0.2.10\nMask=255.255.0.0\nGateway=192.0.2.1\nDNS=10.0.0.53\n"
         "MAC=0A:0b:0C:0d:0E:0f\n",
         ""},
        {"-", "192.0.2.10", ALL, "=", ""},
        {"-", "-", ALL, FIVE, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file + " " + c.old_ip + " " + c.set);
        unlink(NETCONFIG_PATH);
        ASSERT_TRUE(c.file == "-" || write_file(NETCONFIG_PATH, c.file));
        std::string req = R"({"Command":"CMD_SetNetConf","Data":{)" + c.set + R"(,"OldIP":")" +
                          c.old_ip + R"(","IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})";
        testing::internal::CaptureStdout();
        mgmt_result res;
        mgmt_handle(&req[0], c.old_ip == "-" ? MGMT_TCP : MGMT_UDP, nullptr, &res);
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(res.outcome, c.after == "=" ? -1 : 0);
        EXPECT_EQ(read_file(NETCONFIG_PATH), c.after != "="  ? c.after
                                             : c.file != "-" ? c.file
                                                             : "");
        EXPECT_NE(log.find(c.why), std::string::npos) << log;
    }
    write_file(NETCONFIG_PATH, SAVED);
}

// CMD_GetReaderInfo answers with the settings the hardware thread handed
// back for it, whatever the slot's globals hold by the reply; "devAddr" 0
// when the device address cannot be read.
TEST(Requests, ReaderInfoReplyFromTheHandBack)
{
    slot_init();
    std::thread hardware([] {
        slot_cmd cmd;
        while (!slot_wait_posted(1000) || slot_take(&cmd) == SLOT_IDLE) {
        }
        cmd.args.t_relay = 10, cmd.args.t_light = 20, cmd.args.t_buzzer = 30, cmd.args.t_status = 1;
        slot_complete(&cmd, 0);
        pthread_mutex_lock(&mutex);
        tRelay = tLight = tBuzzer = status = 99; // a later command's
        pthread_mutex_unlock(&mutex);
    });
    ASSERT_EQ(sql_query("/etc/reader.db", "alter table readerInfo rename to gone"), "");
    char req[] = R"({"Command":"CMD_GetReaderInfo"})";
    mgmt_result res;
    EXPECT_EQ(mgmt_handle(req, MGMT_TCP, nullptr, &res), SLOT_GET_READER_INFO);
    hardware.join();
    EXPECT_EQ(sql_query("/etc/reader.db", "alter table gone rename to readerInfo"), "");
    char *text = cJSON_PrintUnformatted(res.data);
    EXPECT_STREQ(text, R"({"devAddr":0,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":1})");
    free(text);
    cJSON_Delete(res.data);
}
