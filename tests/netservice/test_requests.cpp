// The request handlers and the reply step on plain buffers, with the
// sandbox's real settings files.
#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/slot.h"
#include "netservice/netrequest.h"
#include "netservice/tcpreply.h"
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
            last = (udp ? "10.0.0." : "10.9.9.") + std::to_string(i);
            // The TCP command takes no "OldIP".
            std::string req = R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + ip +
                              R"(","IP":"","Mask":"","Gateway":")" + (udp ? last : "") +
                              R"(","DNS":")" + (udp ? "" : last) + R"(","MAC":""}})";
            int outcome;
            int code = udp ? udp_request(&req[0], &outcome) : tcp_request(&req[0], &outcome);
            bad[udp] += code != REQ_SET_NET_CONF || outcome != 0;
        }
    };
    std::thread udp(changes, true), tcp(changes, false);
    udp.join();
    tcp.join();
    EXPECT_EQ(bad[0] + bad[1], 0);
    NetInfo now = {};
    readNetConfig(&now);
    EXPECT_EQ(std::string(now.entry[NET_IP].value), ip);
    EXPECT_EQ(std::string(now.entry[NET_GATEWAY].value), "10.0.0.1000");
    EXPECT_EQ(std::string(now.entry[NET_DNS].value), "10.9.9.1000");
    writeNetConfig(&saved);
}

// The settings reply when the device address cannot be read: "devAddr" 0
// beside the reader's four values left in the slot, and "response" 1.
TEST(Requests, SettingsReplyWithoutDeviceAddress)
{
    slot_init();
    pthread_mutex_lock(&mutex);
    tRelay = 10, tLight = 20, tBuzzer = 30, status = 1;
    pthread_mutex_unlock(&mutex);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(sql_query("/etc/reader.db", "alter table readerInfo rename to gone"), "");
    tcp_reply(sv[0], SLOT_GET_READER_INFO, 0);
    EXPECT_EQ(sql_query("/etc/reader.db", "alter table gone rename to readerInfo"), "");
    EXPECT_EQ(read_reply(sv[1], 0),
              "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devAddr\":\t0,\n\t\t\"tRelay\":"
              "\t10,\n\t\t\"tLight\":\t20,\n\t\t\"tBuzzer\":\t30,\n\t\t\"Status\":\t1\n\t}\n}");
    close(sv[0]);
    close(sv[1]);
}
