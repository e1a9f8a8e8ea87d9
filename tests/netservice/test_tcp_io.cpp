// The TCP server's receive framing and reply transport, on socket pairs.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "netservice/netrequest.h"
#include "netservice/tcpserver.h"
#include "tests/support/process.h"

namespace
{

struct Pair {
    int a = -1, b = -1; // a: the server's end, b: the peer's
    Pair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
            a = sv[0];
            b = sv[1];
        }
    }
    ~Pair()
    {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
    }
    void close_peer()
    {
        close(b);
        b = -1;
    }
};

void send_str(int fd, const std::string &s)
{
    ASSERT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

std::string recv_all(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        int n = trecv(fd, buf, sizeof buf, 100);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

TEST(Trecv, TimesOutReadsAndSeesTheEnd)
{
    Pair p;
    char buf[16] = {};
    double t0 = now_ms();
    EXPECT_EQ(trecv(p.a, buf, sizeof buf, 120), 0);
    EXPECT_GE(now_ms() - t0, 110.0);

    send_str(p.b, "abc");
    EXPECT_EQ(trecv(p.a, buf, sizeof buf, 120), 3);
    EXPECT_STREQ(buf, "abc");

    p.close_peer();
    t0 = now_ms();
    EXPECT_EQ(trecv(p.a, buf, sizeof buf, 5000), 0); // closed: at once
    EXPECT_LT(now_ms() - t0, 1000.0);
    EXPECT_EQ(trecv(-1, buf, sizeof buf, 10), -1);
}

// Bytes that keep coming less than the gap apart make one request; the gap,
// the length limit or the peer's close end it.
TEST(Trecvn, GathersUntilTheGapAndCutsAtTheLimit)
{
    Pair p;
    std::thread peer([&] {
        send_str(p.b, "{\"Command\":");
        usleep(80000);
        send_str(p.b, "\"CMD_CtrRelay\"}");
    });
    char buf[REQUEST_BUF] = {};
    double t0 = now_ms();
    int n = trecvn(p.a, buf, sizeof buf - 1, TCP_GAP_MS);
    double took = now_ms() - t0;
    peer.join();
    EXPECT_EQ(n, 26);
    EXPECT_STREQ(buf, "{\"Command\":\"CMD_CtrRelay\"}");
    EXPECT_GE(took, 80.0 + TCP_GAP_MS - 20); // ended by the gap after the last byte

    // 1500 bytes at once: the first 1023 now, the rest as the next request.
    std::string big(1500, 'x');
    send_str(p.b, big);
    memset(buf, 0, sizeof buf);
    t0 = now_ms();
    EXPECT_EQ(trecvn(p.a, buf, sizeof buf - 1, TCP_GAP_MS), 1023);
    EXPECT_LT(now_ms() - t0, TCP_GAP_MS - 50.0); // the limit ends it, not the gap
    EXPECT_EQ(buf[1023], '\0');
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(trecvn(p.a, buf, sizeof buf - 1, TCP_GAP_MS), 477);

    // A request followed by the peer's close is complete at once; then 0.
    send_str(p.b, "tail");
    p.close_peer();
    memset(buf, 0, sizeof buf);
    t0 = now_ms();
    EXPECT_EQ(trecvn(p.a, buf, sizeof buf - 1, TCP_GAP_MS), 4);
    EXPECT_LT(now_ms() - t0, TCP_GAP_MS - 50.0);
    EXPECT_EQ(trecvn(p.a, buf, sizeof buf - 1, TCP_GAP_MS), 0);
}

TEST(Trecvn, IdleConnectionEndsAfterTheIdleLimit)
{
    EXPECT_EQ(TCP_IDLE_LIMIT_MS, 300000);
    long saved = tcp_idle_limit_ms;
    tcp_idle_limit_ms = 250;
    Pair p;
    char buf[64];
    double t0 = now_ms();
    EXPECT_EQ(trecvn(p.a, buf, sizeof buf - 1, TCP_GAP_MS), 0);
    double took = now_ms() - t0;
    tcp_idle_limit_ms = saved;
    EXPECT_GE(took, 240.0);
    EXPECT_LT(took, 3000.0);
    EXPECT_EQ(trecvn(-1, buf, sizeof buf - 1, TCP_GAP_MS), -1);
}

// The exact bytes of cJSON's formatted printer, and no NUL or line feed after.
TEST(Response, ExactBytes)
{
    Pair p;
    EXPECT_EQ(response(p.a, 1), 0);
    EXPECT_EQ(recv_all(p.b), std::string("{\n\t\"response\":\t1\n}"));
    EXPECT_EQ(response(p.a, 0), 0);
    EXPECT_EQ(recv_all(p.b), std::string("{\n\t\"response\":\t0\n}"));
}

// A reply to a peer that has gone is reported and does not end the process
// (this test process does not ignore SIGPIPE).
TEST(Response, PeerGoneIsReportedNotFatal)
{
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    Pair p;
    p.close_peer();
    testing::internal::CaptureStdout();
    EXPECT_EQ(response(p.a, 1), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Send data Failed\n");
}
