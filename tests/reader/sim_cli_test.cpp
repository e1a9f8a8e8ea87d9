// The simulator as a program: its command line, standard input and link.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "reader/optReader.h"
#include "tests/reader/reader_test_util.h"

namespace
{

std::string sim_bin()
{
    return gw_bin("gatewarden-readersim");
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/gw-readersim-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { (void)system(("rm -rf '" + path + "'").c_str()); }
};

TEST(SimCli, BadUsageExitsWithTwo)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--baud", "fast"},       {"--card", "0A1B2C"},
        {"--interval", "0"},      {"--fault", "loud"},
        {"--fault", "silence=3"}, {"--fault", "noend,count=0"},
        {"--frobnicate"},         {"stray"},
    };
    for (auto &args : bad) {
        Child c;
        std::vector<std::string> argv = {sim_bin()};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_TRUE(c.start(argv));
        int st = c.wait_exit(5000);
        ASSERT_TRUE(WIFEXITED(st)) << args[0];
        EXPECT_EQ(WEXITSTATUS(st), 2) << args[0];
        c.drain();
        bool told = false;
        for (auto &l : c.lines())
            told |= l.find("Try 'gatewarden-readersim --help'") != std::string::npos;
        EXPECT_TRUE(told) << args[0];
    }

    Child h;
    ASSERT_TRUE(h.start({sim_bin(), "--help"}));
    std::string first;
    EXPECT_TRUE(h.read_line(first, 5000));
    EXPECT_EQ(first.rfind("Usage: gatewarden-readersim", 0), 0u);
    int st = h.wait_exit(5000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(SimCli, LinkFollowsThePtyAndGoesOnExit)
{
    TempDir d;
    for (int sig : {SIGTERM, SIGINT}) {
        std::string link = d.path + "/ttyREADER";
        ASSERT_EQ(symlink("/nonexistent/stale", link.c_str()), 0); // left by a killed run
        Child c;
        ASSERT_TRUE(c.start({sim_bin(), "--link", link}));
        std::string ready;
        ASSERT_TRUE(c.wait_for("ready pty=", 5000, &ready));
        char target[128] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(ready, "ready pty=" + std::string(target) + " link=" + link);
        int st = c.stop(sig);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << sig;
        struct stat sb;
        EXPECT_NE(lstat(link.c_str(), &sb), 0) << "link left after signal " << sig;
    }

    // Anything but a symlink is not replaced.
    std::string file = d.path + "/precious";
    int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);
    Child c;
    ASSERT_TRUE(c.start({sim_bin(), "--link", file}));
    int st = c.wait_exit(5000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    struct stat sb;
    ASSERT_EQ(lstat(file.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISREG(sb.st_mode));
    EXPECT_EQ(sb.st_size, 1);
}

TEST(SimCli, StandardInputCommands)
{
    TempDir d;
    std::string link = d.path + "/tty";
    Child c;
    ASSERT_TRUE(c.start({sim_bin(), "--baud", "0", "--link", link}, true, true));
    ASSERT_TRUE(c.wait_for("ready", 5000));
    c.write_stdin("bogus words\n");
    EXPECT_TRUE(c.wait_for("unknown command 'bogus'", 3000));
    c.write_stdin("card 12\n");
    EXPECT_TRUE(c.wait_for("8 or 14 hex digits", 3000));
    c.write_stdin("fault late=x\n");
    EXPECT_TRUE(c.wait_for("bad value", 3000));
    c.write_stdin("  card 0a1b2c3d  \n");
    EXPECT_TRUE(c.wait_for("card 0A1B2C3D presented", 3000));
    c.write_stdin("fault status=05,cmd=93,count=2\n");
    EXPECT_TRUE(c.wait_for("fault armed status=05,cmd=93,count=2", 3000));
    c.write_stdin("quit\n");
    int st = c.wait_exit(5000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    struct stat sb;
    EXPECT_NE(lstat(link.c_str(), &sb), 0) << "link left after quit";
}

TEST(SimCli, RunsOnWithoutStandardInputAndQuietPolls)
{
    SimPort p;
    std::string why;
    // Child gives the simulator /dev/null as standard input: it ends at once.
    ASSERT_TRUE(p.start({"--baud", "0", "--quiet-polls"}, &why, false)) << why;
    usleep(200000);
    char text[32];
    EXPECT_EQ(getReaderUid(text), -1);
    EXPECT_EQ(ctrReaderRelay(1), 0);
    ASSERT_TRUE(p.sim.wait_for("rx 93 relay", 3000));
    for (auto &l : p.sim.lines())
        EXPECT_EQ(l.find("rx 95"), std::string::npos) << "idle poll logged: " << l;
}

} // namespace
