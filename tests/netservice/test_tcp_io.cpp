// The TCP server's receive framing and reply transport, on socket pairs.
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "netservice/netrequest.h"
#include "netservice/tcpreply.h"
#include "netservice/tcpserver.h"
#include "tools/support/support.h"

namespace
{

// One request as the server gathers it from fd; *ms: how long that took.
std::string request(int fd, double *ms)
{
    char buf[REQUEST_BUF] = {};
    double t0 = now_ms();
    int n = trecvn(fd, buf, sizeof buf - 1, TCP_GAP_MS);
    *ms = now_ms() - t0;
    return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
}

} // namespace

// One connection's life: silent for the idle limit, it ends; the peer's
// close ends a request at once (the gap, the length and time limits:
// e2e_tcp). A reply to a peer that has gone is
// reported and does not end the process (this test program does not ignore
// SIGPIPE).
TEST(TcpConnection, IdleLimitFramingAndGonePeer)
{
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    int fd[2]; // the server's end, the peer's
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    double ms;
    long saved = tcp_idle_limit_ms;
    tcp_idle_limit_ms = 250;
    EXPECT_EQ(request(fd[0], &ms), "");
    tcp_idle_limit_ms = saved;
    EXPECT_GE(ms, 240.0);
    EXPECT_LT(ms, 3000.0);

    // A request followed by the peer's close is complete at once; then nothing.
    send_all(fd[1], "tail");
    close(fd[1]);
    EXPECT_EQ(request(fd[0], &ms), "tail");
    EXPECT_LT(ms, TCP_GAP_MS - 50.0);
    EXPECT_EQ(request(fd[0], &ms), "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(response(fd[0], 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Send data Failed\n");
    close(fd[0]);
}
