// scripts/board-sandbox seen from outside: what a command inside can reach,
// and that nothing it does to /etc, /dev, the network or reboot gets out.
// The SandboxInside tests run inside it (this binary starts itself there)
// and skip anywhere else.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/settings/settings_files.h"
#include "tests/support/process.h"

namespace
{

const std::string SANDBOX = std::string(GW_SOURCE_DIR) + "/scripts/board-sandbox";

struct Outcome {
    int status = -1; // exit status, 128+N for signal N
    std::vector<std::string> lines;
    bool has(const std::string &s) const
    {
        for (const std::string &l : lines)
            if (l.find(s) != std::string::npos)
                return true;
        return false;
    }
};

Outcome collect(Child &c, int timeout_ms = 60000)
{
    Outcome r;
    std::string line;
    double deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline && c.read_line(line, (int)(deadline - now_ms()))) {
    }
    int st = c.wait_exit(5000);
    r.status = st < 0 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.lines = c.lines();
    return r;
}

Outcome sandbox(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {SANDBOX};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c;
    EXPECT_TRUE(c.start(argv));
    return collect(c);
}

Outcome sandbox_sh(const std::string &script)
{
    return sandbox({"--", "sh", "-c", script});
}

#define SKIP_WITHOUT_SANDBOX(run)                                                                  \
    if ((run).status == 77)                                                                        \
    GTEST_SKIP() << "no sandbox here: " << ((run).lines.empty() ? "" : (run).lines.back())

long long realtime_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

TEST(Sandbox, EtcAndDevArePrivateAndStatusIsPassedOn)
{
    const std::string probe = "gw-sandbox-probe-" + std::to_string(getpid());
    Outcome r = sandbox_sh("echo x > /etc/" + probe + " && echo x > /dev/" + probe +
                           " && cat /etc/eth0-setting && test -c /dev/null && test -L /dev/ptmx"
                           " && test ! -e /dev/sda && test ! -e /dev/mem"
                           " && sqlite3 /etc/reader.db 'select * from readerInfo' 2>/dev/null;"
                           " test -s /etc/card.db && echo card-db && exit 7");
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.status, 7);
    EXPECT_TRUE(r.has("IP=192.0.2.10"));
    EXPECT_TRUE(r.has("card-db"));
    EXPECT_FALSE(file_exists("/etc/" + probe));
    EXPECT_FALSE(file_exists("/dev/" + probe));

    r = sandbox({"--no-provision", "--", "sh", "-c", "ls /etc; test ! -e /etc/eth0-setting"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.has("passwd"));
}

TEST(Sandbox, RebootStubRecords)
{
    char log[] = "/tmp/gw-reboot-log-XXXXXX";
    int fd = mkstemp(log);
    ASSERT_GE(fd, 0);
    close(fd);
    long long before = realtime_ms();
    setenv("GW_REBOOT_LOG", log, 1);
    Outcome r = sandbox_sh("reboot && /sbin/reboot -f && /usr/sbin/reboot now && sh -c reboot");
    unsetenv("GW_REBOOT_LOG");
    long long after = realtime_ms();
    std::string text = read_file(log);
    unlink(log);
    SKIP_WITHOUT_SANDBOX(r);
    ASSERT_EQ(r.status, 0);

    std::istringstream in(text);
    const char *args[] = {"", " -f", " now", ""};
    std::string line;
    for (const char *a : args) {
        ASSERT_TRUE(std::getline(in, line)) << text;
        long long ms = 0;
        char rest[32] = "";
        ASSERT_GE(sscanf(line.c_str(), "reboot %lld%31[^\n]", &ms, rest), 1) << line;
        EXPECT_STREQ(rest, a);
        EXPECT_GE(ms, before);
        EXPECT_LE(ms, after);
    }
    EXPECT_FALSE(std::getline(in, line));

    // Without GW_REBOOT_LOG the sandbox makes its own log and removes it.
    r = sandbox_sh("reboot x && echo \"log=$GW_REBOOT_LOG\" && cat \"$GW_REBOOT_LOG\"");
    ASSERT_EQ(r.status, 0);
    ASSERT_FALSE(r.lines.empty());
    ASSERT_EQ(r.lines[0].compare(0, 4, "log="), 0);
    EXPECT_TRUE(r.has(" x"));
    EXPECT_FALSE(file_exists(r.lines[0].substr(4)));
}

TEST(Sandbox, NetworkIsItsOwn)
{
    // A listener on the host's loopback cannot be reached from inside.
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(ls, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(ls, 1), 0);
    ASSERT_EQ(getsockname(ls, (sockaddr *)&a, &len), 0);
    setenv("GW_TEST_HOST_PORT", std::to_string(ntohs(a.sin_port)).c_str(), 1);

    std::vector<std::string> argv = {"--"};
    if (const char *emu = getenv("GW_EMULATOR")) {
        std::istringstream words(emu);
        for (std::string w; words >> w;)
            argv.push_back(w);
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    argv.push_back(std::string(self, (size_t)n));
    argv.push_back("--gtest_filter=SandboxInside.*");
    Outcome r = sandbox(argv);
    unsetenv("GW_TEST_HOST_PORT");
    close(ls);
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.has("[  PASSED  ] 2 tests")) << ::testing::PrintToString(r.lines);
}

TEST(Sandbox, StandardInputSignalsAndBadUsage)
{
    Child c;
    ASSERT_TRUE(c.start({SANDBOX, "--no-provision", "--", "sh", "-c", "head -n1; exec sleep 30"},
                        true, true));
    c.write_stdin("through the sandbox\n");
    std::string line;
    if (!c.read_line(line, 30000)) {
        int st = c.wait_exit(5000);
        if (WIFEXITED(st) && WEXITSTATUS(st) == 77)
            GTEST_SKIP() << "no sandbox here";
        FAIL() << "no echo, status " << st;
    }
    EXPECT_EQ(line, "through the sandbox");
    double t0 = now_ms();
    int st = c.stop(SIGTERM);
    EXPECT_LT(now_ms() - t0, 10000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 128 + SIGTERM) << st;

    Outcome r = sandbox({"--bogus", "true"});
    EXPECT_EQ(r.status, 2);
    r = sandbox({});
    EXPECT_EQ(r.status, 2);
    const char *bin_dir = getenv("GW_BIN_DIR");
    std::string saved = bin_dir ? bin_dir : "";
    setenv("GW_BIN_DIR", "/nonexistent", 1);
    r = sandbox({"true"});
    if (bin_dir)
        setenv("GW_BIN_DIR", saved.c_str(), 1);
    else
        unsetenv("GW_BIN_DIR");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.has("gatewarden-provision not found"));
}

// ---- inside the sandbox --------------------------------------------------

bool inside()
{
    return getenv("GW_SANDBOX") && strcmp(getenv("GW_SANDBOX"), "1") == 0;
}

TEST(SandboxInside, BroadcastLoopsBackToLocalListener)
{
    if (!inside())
        GTEST_SKIP() << "runs inside the board sandbox";
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(8000);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(rx, (sockaddr *)&a, sizeof a), 0) << strerror(errno);

    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    ASSERT_EQ(setsockopt(tx, SOL_SOCKET, SO_BROADCAST, &one, sizeof one), 0);
    a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ASSERT_EQ(sendto(tx, "probe", 5, 0, (sockaddr *)&a, sizeof a), 5) << strerror(errno);

    pollfd p = {rx, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char buf[16];
    sockaddr_in from = {};
    socklen_t len = sizeof from;
    EXPECT_EQ(recvfrom(rx, buf, sizeof buf, 0, (sockaddr *)&from, &len), 5);
    EXPECT_EQ(std::string(buf, 5), "probe");
    char ip[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip), "192.0.2.10");
    close(tx);
    close(rx);
}

TEST(SandboxInside, HostLoopbackIsUnreachable)
{
    const char *port = getenv("GW_TEST_HOST_PORT");
    if (!inside() || !port)
        GTEST_SKIP() << "runs inside the board sandbox";
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)atoi(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(connect(s, (sockaddr *)&a, sizeof a), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    close(s);
}

} // namespace
