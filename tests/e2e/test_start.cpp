// Start-up of the real daemon: without a reader, a reader plugged in late,
// lost and back, and a thread that cannot be created.
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/netconfig.h"
#include "tests/e2e/board.h"

static const std::string RELAY = cmd("CMD_CtrRelay");

// The daemon's log lines while nothing happens for ms.
static size_t quiet_lines(Board &b, int ms)
{
    size_t before = (b.daemon.drain(), b.daemon.lines().size());
    usleep(ms * 1000);
    return b.daemon.drain(), b.daemon.lines().size() - before;
}

// Without /dev/ttymxc2 the network services run and reader commands fail at
// once. A reader that appears later is taken up; one whose line hangs up (an
// unplugged adapter; here the simulator ends and its pseudo-terminal goes)
// is closed, the daemon stays quiet and idle instead of spinning on a dead
// port, and a new reader is taken up again.
TEST(Start, ReaderLostThenBack)
{
    Board b;
    ASSERT_TRUE(b.start_daemon());
    EXPECT_TRUE(b.daemon.wait_for("not available", 5000));
    double t0 = now_ms();
    EXPECT_EQ(ask(RELAY), reply(0));
    EXPECT_LT(now_ms() - t0, 1500.0);
    EXPECT_EQ(ask(cmd("CMD_GetNetConf")).rfind("{\n\t\"response\":\t1,", 0), 0u);
    EXPECT_LE(quiet_lines(b, 2500), 2u) << "the daemon floods its log";

    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round ? "reader back" : "reader plugged in");
        ASSERT_TRUE(b.start_reader());
        EXPECT_TRUE(b.reader.wait_for("rx 95 poll", 6000)) << "reader not taken up";
        EXPECT_EQ(ask(RELAY), reply(1));

        b.reader.stop(SIGKILL);
        unlink("/dev/ttymxc2"); // the killed simulator could not remove its link
        EXPECT_TRUE(b.daemon.wait_for("lost", 5000));
        EXPECT_LE(quiet_lines(b, 1500), 4u) << "the daemon floods its log";
        EXPECT_EQ(ask(RELAY), reply(0));
    }
}

// "can't create thread: <reason>" without a line feed, and status 255.
TEST(Start, ThreadThatCannotBeCreatedEndsTheProcess)
{
    if (getenv("GW_EMULATOR") && *getenv("GW_EMULATOR"))
        GTEST_SKIP() << "runs the daemon through prlimit, not under the emulator";
    // A stack limit larger than any mapping makes every thread creation
    // fail; the status follows the daemon's output on the same line.
    Child c;
    ASSERT_TRUE(c.start({"sh", "-c",
                         "timeout -s KILL 10 prlimit --stack=1099511627776:1099511627776 -- "
                         "\"$0\"; echo \"|$?\"",
                         gw_bin("gatewarden")}));
    std::string line;
    ASSERT_TRUE(c.wait_for("|", 15000, &line));
    if (line.find("|137") != std::string::npos)
        GTEST_SKIP() << "threads could still be created here";
    EXPECT_EQ(line.rfind("can't create thread: ", 0), 0u) << line;
    EXPECT_GT(line.find('|'), sizeof "can't create thread: ") << "no reason given";
    EXPECT_EQ(line.substr(line.find('|')), "|255") << "status, or a line feed after the reason";
}

// Files named as an interrupted settings write names them, older than the
// daemon, are removed at its start; nothing else is (the last file is newer,
// and an older version's name may be a copy made by hand).
TEST(Start, LeftoversOfInterruptedWritesAreRemoved)
{
    const std::string tmp = NETCONFIG_TMP_PREFIX;
    const std::pair<std::string, bool> files[] = {
        {tmp + "eth0-setting.a1B2c3", false}, {tmp + "eth0-setting.a1B2c", true},
        {"eth0-setting.a1B2c3", true},        {"eth0-setting.backup", true},
        {tmp + "eth0-settinG.a1B2c3", true},  {tmp + "eth0-setting.Z9y8X7", true}};
    timespec later[2] = {{time(nullptr) + 3600, 0}, {time(nullptr) + 3600, 0}};
    for (const auto &f : files)
        ASSERT_TRUE(write_file("/etc/" + f.first, "IP=192.0.2.66\n"));
    ASSERT_EQ(utimensat(AT_FDCWD, ("/etc/" + files[5].first).c_str(), later, 0), 0);
    Board b;
    ASSERT_TRUE(b.start_daemon());
    for (const auto &f : files) {
        EXPECT_EQ(access(("/etc/" + f.first).c_str(), F_OK) == 0, f.second) << f.first;
        unlink(("/etc/" + f.first).c_str());
    }
}
