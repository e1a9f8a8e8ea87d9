// Thousands of random and malformed requests on both ports: the daemon
// keeps running and answers correctly afterwards.
#include <random>
#include <unistd.h>

#include "tests/e2e/board.h"

namespace
{

const std::string SEEDS[] = {
    cmd("CMD_SetReaderInfo", R"({"devAddr":5,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":1})"),
    cmd("CMD_GetReaderInfo"),
    cmd("CMD_CtrDevice", R"({"Light":3,"Buzzer":0,"Relay":1})"),
    cmd("CMD_CtrRelay"),
    cmd("CMD_SetUrlAddr", R"("http://127.0.0.1:9/ws/AccessGate")"),
    cmd("CMD_GetUrlAddr"),
    cmd("CMD_GetNetConf"),
    cmd("CMD_SetNetConf", R"({"IP":"","Mask":"","Gateway":"","DNS":"","MAC":""})"),
    cmd("CMD_SearchReader", R"("TcpReader Request")"),
    cmd("CMD_SetNetConf",
        R"({"OldIP":"192.0.2.10","IP":"","Mask":"","Gateway":"","DNS":"","MAC":""})"),
};

// A seed, perhaps cut short, with up to four bytes changed, inserted or cut:
// valid commands stay among the junk.
std::string mutate(std::mt19937 &rng)
{
    auto any = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    std::string s = SEEDS[any(10)];
    if (any(10) == 0)
        s.resize(any(s.size()));
    for (size_t i = any(5); i > 0 && !s.empty(); i--) {
        size_t at = any(s.size()), how = any(3);
        if (how == 0)
            s[at] = static_cast<char>(any(256));
        else if (how == 1)
            s.insert(at, 1, "{}[]\":,0-.e\\u"[any(13)]);
        else
            s.erase(at, any(3) + 1);
    }
    return s;
}

using BadInput = QuietBoard;

} // namespace

TEST_F(BadInput, RandomAndMalformedRequestsLeaveTheDaemonWorking)
{
    std::mt19937 rng(20240601);
    Udp u;
    int bad_replies = 0, accepted = 0;
    for (int i = 0; i < 3000 && bad_replies <= 3; i++) {
        std::string req = mutate(rng);
        u.send(req);
        if (i % 50 == 0)
            b.drain();
        if (i >= 1000)
            continue;
        // Over TCP every request that arrives gets exactly one reply.
        std::string r = ask(req, 5000);
        accepted += r.find("\"response\":\t1") != std::string::npos;
        if (!req.empty() && (r.rfind("{\n\t\"response\":\t", 0) != 0 || r.size() < 18 ||
                             r.compare(r.size() - 2, 2, "\n}") != 0)) {
            bad_replies++;
            ADD_FAILURE() << "request [" << req << "] got [" << r << "]";
        }
    }
    // Some mutations are still valid commands: the daemon carried those out.
    EXPECT_GT(accepted, 100);
    ASSERT_EQ(b.daemon.wait_exit(0), -1) << "the daemon ended";

    // Correct answers afterwards on both ports.
    usleep(300000);
    std::string got;
    while (u.recv(got, 100)) {
    }
    EXPECT_EQ(ask(cmd("CMD_SetUrlAddr", R"("http://127.0.0.1:9/x")")), reply(1));
    EXPECT_EQ(ask(cmd("CMD_GetUrlAddr")),
              "{\n\t\"response\":\t1,\n\t\"Data\":\t\"http://127.0.0.1:9/x\"\n}");
    EXPECT_EQ(ask(cmd("CMD_CtrRelay")), reply(1));
    ASSERT_TRUE(u.send(SEEDS[8]));
    EXPECT_TRUE(u.recv(got, 3000));
    EXPECT_EQ(got, "TcpReader Response");
}
