// Thousands of random and malformed requests on both ports: the daemon
// keeps running and answers correctly afterwards.
#include <random>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/board.h"

namespace
{

const char *const SEEDS[] = {
    R"({"Command":"CMD_SetReaderInfo","Data":{"devAddr":5,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":1}})",
    R"({"Command":"CMD_GetReaderInfo"})",
    R"({"Command":"CMD_CtrDevice","Data":{"Light":3,"Buzzer":0,"Relay":1}})",
    R"({"Command":"CMD_CtrRelay"})",
    R"({"Command":"CMD_SetUrlAddr","Data":"http://127.0.0.1:9/ws/AccessGate"})",
    R"({"Command":"CMD_GetUrlAddr"})",
    R"({"Command":"CMD_GetNetConf"})",
    R"({"Command":"CMD_SetNetConf","Data":{"IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})",
    R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})",
    R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.0.2.10","IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})",
};

// A seed as it is, with one to four bytes changed, inserted or cut, cut
// short, or plain random bytes: valid commands stay among the junk.
std::string mutate(std::mt19937 &rng)
{
    std::uniform_int_distribution<int> pick(0, 9), byte(0, 255);
    std::string s = SEEDS[pick(rng) % (sizeof SEEDS / sizeof *SEEDS)];
    int kind = pick(rng);
    if (kind <= 2)
        return s;
    if (kind == 3) {
        s.assign(static_cast<size_t>(byte(rng) * 4 + 1), '\0');
        for (auto &c : s)
            c = static_cast<char>(byte(rng));
        return s;
    }
    if (kind == 4) {
        s.resize(static_cast<size_t>(byte(rng)) % s.size());
        return s;
    }
    int edits = 1 + pick(rng) % 4;
    for (int i = 0; i < edits; i++) {
        size_t at = static_cast<size_t>(byte(rng)) % s.size();
        switch (pick(rng) % 3) {
        case 0:
            s[at] = static_cast<char>(byte(rng));
            break;
        case 1:
            s.insert(at, 1, "{}[]\":,0-.e\\u"[byte(rng) % 14]);
            break;
        default:
            s.erase(at, 1 + static_cast<size_t>(byte(rng)) % 3);
            break;
        }
    }
    return s;
}

bool is_reply(const std::string &r)
{
    return starts_with(r, "{\n\t\"response\":\t") && r.size() >= 18 &&
           r.compare(r.size() - 2, 2, "\n}") == 0;
}

} // namespace

TEST(BadInput, RandomAndMalformedRequestsLeaveTheDaemonWorking)
{
    REQUIRE_SANDBOX();
    std::string netconf = read_file("/etc/eth0-setting");
    Board b;
    // No pacing of the reader's bytes: the reader commands among the
    // mutated requests then cost little time.
    ASSERT_TRUE(b.start_reader({"--quiet-polls", "--baud", "0"}));
    ASSERT_TRUE(b.start_daemon());

    std::mt19937 rng(20240601);
    int port;
    int ufd = udp_open(&port);
    ASSERT_GE(ufd, 0);
    int bad_replies = 0, accepted = 0;
    for (int i = 0; i < 1000; i++) {
        std::string req = mutate(rng);
        udp_send(ufd, req);
        // Over TCP every request that arrives gets exactly one reply.
        std::string r = ask(req, 5000);
        accepted += r.find("\"response\":\t1") != std::string::npos;
        if (!req.empty() && !is_reply(r)) {
            bad_replies++;
            ADD_FAILURE() << "request [" << req << "] got [" << r << "]";
        }
        if (i % 50 == 0)
            b.drain();
        if (bad_replies > 3)
            break;
    }
    for (int i = 0; i < 2000; i++) {
        std::string req = mutate(rng);
        udp_send(ufd, req);
        if (i % 50 == 0)
            b.drain();
    }
    usleep(300000);
    b.drain();
    // Some mutations are still valid commands: the daemon carried those out.
    EXPECT_GT(accepted, 100);
    printf("%d of the TCP requests were carried out\n", accepted);
    ASSERT_EQ(b.daemon.wait_exit(0), -1) << "the daemon ended";

    // Correct answers afterwards on both ports.
    std::string got;
    while (udp_recv(ufd, got, 100)) {
    }
    write_file("/etc/eth0-setting", netconf);
    ASSERT_TRUE(db_exec("update readerInfo set serverUrl='http://127.0.0.1:9/x' where id=1"));
    EXPECT_EQ(ask(R"({"Command":"CMD_GetUrlAddr"})"),
              "{\n\t\"response\":\t1,\n\t\"Data\":\t\"http://127.0.0.1:9/x\"\n}");
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(1));
    ASSERT_TRUE(udp_send(ufd, R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})"));
    EXPECT_TRUE(udp_recv(ufd, got, 3000));
    EXPECT_EQ(got, "TcpReader Response");
    close(ufd);
}
