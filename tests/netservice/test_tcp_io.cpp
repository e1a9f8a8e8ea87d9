// The TCP server's receive framing and reply transport, on socket pairs.
#include <csignal>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "netservice/netrequest.h"
#include "netservice/tcpreply.h"
#include "netservice/tcpserver.h"
#include "tests/support/process.h"

namespace
{

// fd[0]: the server's end, fd[1]: the peer's.
struct Pair {
    int fd[2] = {-1, -1};
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~Pair()
    {
        close(fd[0]);
        close_peer();
    }
    void close_peer()
    {
        if (fd[1] >= 0)
            close(fd[1]);
        fd[1] = -1;
    }
    void send_text(const std::string &s) { send(fd[1], s.data(), s.size(), MSG_NOSIGNAL); }
    // One request as the server gathers it; *ms: how long that took.
    std::string request(double *ms = nullptr)
    {
        char buf[REQUEST_BUF] = {};
        double t0 = now_ms();
        int n = trecvn(fd[0], buf, sizeof buf - 1, TCP_GAP_MS);
        if (ms)
            *ms = now_ms() - t0;
        return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
    }
};

} // namespace

// One connection's life: silent for the idle limit, it ends. Bytes that
// keep coming less than the gap apart make one request; the gap, the length
// limit or the peer's close end it. A reply to a peer that has gone is
// reported and does not end the process (this test program does not ignore
// SIGPIPE).
TEST(TcpConnection, IdleLimitFramingAndGonePeer)
{
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    Pair p;
    double ms;
    long saved = tcp_idle_limit_ms;
    tcp_idle_limit_ms = 250;
    EXPECT_EQ(p.request(&ms), "");
    tcp_idle_limit_ms = saved;
    EXPECT_GE(ms, 240.0);
    EXPECT_LT(ms, 3000.0);

    std::thread peer([&] {
        p.send_text("{\"Command\":");
        usleep(80000);
        p.send_text("\"CMD_CtrRelay\"}");
    });
    EXPECT_EQ(p.request(&ms), "{\"Command\":\"CMD_CtrRelay\"}");
    peer.join();
    EXPECT_GE(ms, 80.0 + TCP_GAP_MS - 20); // ended by the gap after the last byte

    // 1500 bytes in two parts: the first 1023 as one request, the rest as the next.
    peer = std::thread([&] {
        p.send_text("x");
        usleep(50000);
        p.send_text(std::string(1499, 'x'));
    });
    EXPECT_EQ(p.request(&ms).size(), 1023u);
    peer.join();
    EXPECT_LT(ms, 50.0 + TCP_GAP_MS - 50); // the limit ends it, not the gap
    EXPECT_EQ(p.request().size(), 477u);

    // A request followed by the peer's close is complete at once; then nothing.
    p.send_text("tail");
    p.close_peer();
    EXPECT_EQ(p.request(&ms), "tail");
    EXPECT_LT(ms, TCP_GAP_MS - 50.0);
    EXPECT_EQ(p.request(), "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(response(p.fd[0], 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Send data Failed\n");

    char buf[8];
    EXPECT_EQ(trecvn(-1, buf, sizeof buf, TCP_GAP_MS), -1);
    EXPECT_EQ(trecv(-1, buf, sizeof buf, TCP_GAP_MS), -1);
}
