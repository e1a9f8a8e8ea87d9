// The parts of the access gate client that need no service: the light code
// and the SIGPIPE guard.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include "access/light_code.h"
#include "access/sigpipe_guard.h"

// Only an exact code at bytes 6 to 8 counts; the rest of the text may be
// anything. A text that ends before byte 9, or none, gives 0.
TEST(LightCode, ExactCodesAtBytesSixToEight)
{
    const struct {
        const char *color;
        int light;
    } rows[] = {
        {"000000000", 0}, {"000000001", 1}, {"000000010", 2},      {"000000100", 3},
        {"000000101", 4}, {"000000111", 5}, {"xyz&<>111", 5},      {"000000001-more", 1},
        {"000000011", 0}, {"000000110", 0}, {"00000001", 0},       {"0000001", 0},
        {"000000", 0},    {"", 0},          {"000000 01", 0},      {"000000O01", 0},
        {"000000+01", 0}, {"00000010x", 0}, {"000000\xC3\xA9", 0},
    };
    for (const auto &r : rows)
        EXPECT_EQ(access_light_code(r.color), r.light) << r.color;
    EXPECT_EQ(access_light_code(nullptr), 0);
}

namespace
{

bool sigpipe_in(bool pending)
{
    sigset_t s;
    if (pending)
        sigpending(&s);
    else
        pthread_sigmask(SIG_SETMASK, nullptr, &s);
    return sigismember(&s, SIGPIPE) == 1;
}

// A guarded write to a pipe whose reader has gone: EPIPE expected.
bool guarded_write_fails_with_epipe()
{
    int p[2];
    if (pipe(p) != 0)
        return false;
    close(p[0]);
    sigpipe_guard g;
    sigpipe_block(&g);
    bool epipe = write(p[1], "x", 1) < 0 && errno == EPIPE;
    sigpipe_restore(&g);
    close(p[1]);
    return epipe;
}

} // namespace

// With SIGPIPE's default action and an empty mask (a SIGPIPE that got
// through would end this program): the write fails, nothing stays pending
// or blocked. A SIGPIPE that was pending before the guard stays pending, and
// a mask that already held SIGPIPE keeps it.
TEST(SigpipeGuard, WriteToClosedPeerDoesNotEndTheProcess)
{
    signal(SIGPIPE, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    pthread_sigmask(SIG_SETMASK, &set, nullptr);
    EXPECT_TRUE(guarded_write_fails_with_epipe());
    EXPECT_FALSE(sigpipe_in(false));
    EXPECT_FALSE(sigpipe_in(true));

    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    raise(SIGPIPE);
    EXPECT_TRUE(guarded_write_fails_with_epipe());
    EXPECT_TRUE(sigpipe_in(false));
    EXPECT_TRUE(sigpipe_in(true));
    timespec zero = {0, 0};
    EXPECT_EQ(sigtimedwait(&set, nullptr, &zero), SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
