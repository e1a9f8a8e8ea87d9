// Start-up of the real daemon: without a reader, a reader plugged in late,
// and a thread that cannot be created.
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/board.h"

// Without /dev/ttymxc2 the network services run, reader commands fail at
// once, and a reader that appears later is taken up.
TEST(Start, ReaderMissingThenPluggedIn)
{
    REQUIRE_SANDBOX();
    Board b;
    ASSERT_TRUE(b.start_daemon());
    EXPECT_TRUE(b.daemon.wait_for("not available", 5000));

    double t0 = now_ms();
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(0));
    EXPECT_LT(now_ms() - t0, 1500.0);
    std::string info = ask(R"({"Command":"CMD_GetNetConf"})");
    EXPECT_TRUE(starts_with(info, "{\n\t\"response\":\t1,"));
    int port;
    int fd = udp_open(&port);
    ASSERT_TRUE(udp_send(fd, R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})"));
    std::string got;
    EXPECT_TRUE(udp_recv(fd, got, 3000));
    close(fd);

    // While it is missing the daemon stays quiet.
    usleep(2500000);
    b.daemon.drain();
    size_t lines = b.daemon.lines().size();
    EXPECT_LE(lines, 12u);

    ASSERT_TRUE(b.start_reader());
    EXPECT_TRUE(b.reader.wait_for("rx 95 poll", 6000)) << "reader not taken up";
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(1));
}

// A reader whose line hangs up (an unplugged adapter; here the simulator
// ends and its pseudo-terminal goes) is closed, the daemon stays quiet and
// idle instead of spinning on a dead port, and a new reader is taken up.
TEST(Start, ReaderLostThenBack)
{
    REQUIRE_SANDBOX();
    Board b;
    ASSERT_TRUE(b.start_reader({"--quiet-polls"}));
    ASSERT_TRUE(b.start_daemon());
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(1));

    b.reader.stop(SIGKILL);
    EXPECT_TRUE(b.daemon.wait_for("lost", 5000));
    b.daemon.drain();
    size_t before = b.daemon.lines().size();
    usleep(1500000);
    b.daemon.drain();
    EXPECT_LE(b.daemon.lines().size() - before, 4u) << "the daemon floods its log";
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(0));

    unlink("/dev/ttymxc2"); // the killed simulator could not remove its link
    ASSERT_TRUE(b.start_reader());
    EXPECT_TRUE(b.reader.wait_for("rx 95 poll", 6000)) << "reader not taken up again";
    EXPECT_EQ(ask(R"({"Command":"CMD_CtrRelay"})"), reply(1));
}

// "can't create thread: <reason>" without a line feed, and status 255.
TEST(Start, ThreadThatCannotBeCreatedEndsTheProcess)
{
    REQUIRE_SANDBOX();
    const char *emu = getenv("GW_EMULATOR");
    if (emu && *emu)
        GTEST_SKIP() << "runs the daemon through prlimit, not under the emulator";
    // A stack limit larger than any mapping makes every thread creation fail.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::string daemon = gw_bin("gatewarden");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        execlp("prlimit", "prlimit", "--stack=1099511627776:1099511627776", "--", daemon.c_str(),
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    int st = 0;
    double until = now_ms() + 10000;
    for (;;) {
        pollfd p = {out[0], POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0)
                text.append(buf, static_cast<size_t>(n));
        }
        if (waitpid(pid, &st, WNOHANG) == pid)
            break;
        if (now_ms() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            close(out[0]);
            GTEST_SKIP() << "threads could still be created here";
        }
    }
    ssize_t n;
    char buf[256];
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 255);
    EXPECT_EQ(text.rfind("can't create thread: ", 0), 0u) << text;
    EXPECT_GT(text.size(), strlen("can't create thread: "));
    EXPECT_EQ(text.find('\n'), std::string::npos) << "no line feed after the reason";
}
