// The parts of the access gate client that need no service: the light code,
// the namespace table, the SIGPIPE guard.
#include <csignal>
#include <cstring>
#include <ctime>
#include <cerrno>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include "access/access_config.h"
#include "access/light_code.h"
#include "access/sigpipe_guard.h"
#include "soapH.h"

// Only an exact code at positions 6 to 8 counts; the rest of the text may be
// anything. A text that ends before position 9, or none, gives 0.
TEST(LightCode, ExactCodesAtPositionsSixToEight)
{
    const struct {
        const char *color;
        int light;
    } rows[] = {
        {"000000000", 0}, {"000000001", 1},
        {"000000010", 2}, {"000000100", 3},
        {"000000101", 4}, {"000000111", 5},
        {"xyz&<>111", 5}, {"000000001-more", 1},
        {"000000011", 0}, {"000000110", 0},
        {"00000001", 0},  {"0000001", 0},
        {"000000", 0},    {"", 0},
        {"000000 01", 0}, {"000000O01", 0},
        {"000000+01", 0}, {"000000\xC3\xA9", 0},
    };
    for (const auto &r : rows)
        EXPECT_EQ(access_light_code(r.color), r.light) << r.color;
    EXPECT_EQ(access_light_code(nullptr), 0);
}

TEST(Contract, NamespaceTable)
{
    const Namespace *ns = namespaces;
    EXPECT_STREQ(ns[0].id, "SOAP-ENV");
    EXPECT_STREQ(ns[0].ns, "http://schemas.xmlsoap.org/soap/envelope/");
    EXPECT_STREQ(ns[0].in, "http://www.w3.org/*/soap-envelope");
    EXPECT_STREQ(ns[1].id, "SOAP-ENC");
    EXPECT_STREQ(ns[1].ns, "http://schemas.xmlsoap.org/soap/encoding/");
    EXPECT_STREQ(ns[2].id, "xsi");
    EXPECT_STREQ(ns[2].ns, "http://www.w3.org/2001/XMLSchema-instance");
    EXPECT_STREQ(ns[3].id, "xsd");
    EXPECT_STREQ(ns[3].ns, "http://www.w3.org/2001/XMLSchema");
    // The one place besides access_config.h that names the URI must agree.
    EXPECT_STREQ(ns[4].id, "ns1");
    EXPECT_STREQ(ns[4].ns, ACCESS_NS1_URI);
    EXPECT_EQ(ns[4].in, nullptr);
    EXPECT_EQ(ns[5].id, nullptr);
    EXPECT_STREQ(ACCESS_SOAP_ACTION, ACCESS_NS1_URI "GrantAccess");
    EXPECT_EQ(strncmp(ACCESS_DEFAULT_URL, "https://", 8), 0);
}

namespace
{

bool sigpipe_pending()
{
    sigset_t p;
    sigpending(&p);
    return sigismember(&p, SIGPIPE) == 1;
}

bool sigpipe_blocked()
{
    sigset_t m;
    pthread_sigmask(SIG_SETMASK, nullptr, &m);
    return sigismember(&m, SIGPIPE) == 1;
}

// A write to a pipe whose reader has gone: EPIPE and, unless kept off, SIGPIPE.
int write_to_closed_pipe()
{
    int p[2];
    if (pipe(p) != 0)
        return -1;
    close(p[0]);
    ssize_t n = write(p[1], "x", 1);
    int err = errno;
    close(p[1]);
    return n < 0 ? err : 0;
}

} // namespace

// In a child with SIGPIPE's default action: the write fails with EPIPE, the
// process lives on, and the mask is as before.
TEST(SigpipeGuard, WriteToClosedPeerDoesNotEndTheProcess)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        sigpipe_guard g;
        sigpipe_block(&g);
        int err = write_to_closed_pipe();
        sigpipe_restore(&g);
        _exit(err == EPIPE && !sigpipe_blocked() && !sigpipe_pending() ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st)) << "ended by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

// A SIGPIPE that was pending before the guard is left pending, and a mask
// that already held SIGPIPE keeps it.
TEST(SigpipeGuard, EarlierPendingSignalIsKept)
{
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    pthread_kill(pthread_self(), SIGPIPE);
    ASSERT_TRUE(sigpipe_pending());

    sigpipe_guard g;
    sigpipe_block(&g);
    EXPECT_EQ(write_to_closed_pipe(), EPIPE);
    sigpipe_restore(&g);
    EXPECT_TRUE(sigpipe_pending());
    EXPECT_TRUE(sigpipe_blocked());

    timespec zero = {0, 0};
    EXPECT_EQ(sigtimedwait(&pipe_only, nullptr, &zero), SIGPIPE);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
