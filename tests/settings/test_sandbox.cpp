// scripts/board-sandbox seen from outside: what a command inside can reach,
// and that nothing it does to /etc, /dev, the network or reboot gets out.
// SandboxInside runs inside it (this binary starts itself there) and skips
// anywhere else.
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/settings/settings_files.h"
#include "tests/support/process.h"

namespace
{

const std::string SANDBOX = std::string(GW_SOURCE_DIR) + "/scripts/board-sandbox";

struct Outcome {
    int status = -1; // exit status, 128+N for signal N
    std::string out; // every line, each ended by a line feed
};

Outcome sandbox(std::vector<std::string> args)
{
    args.insert(args.begin(), SANDBOX);
    Child c;
    EXPECT_TRUE(c.start(args));
    std::string line;
    while (c.read_line(line, 60000)) {
    }
    int st = c.wait_exit(5000);
    Outcome r;
    r.status = st < 0 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    for (const std::string &l : c.lines())
        r.out += l + "\n";
    return r;
}

Outcome sandbox_sh(const std::string &script)
{
    return sandbox({"--", "sh", "-c", script});
}

#define SKIP_WITHOUT_SANDBOX(run)                                                                  \
    if ((run).status == 77)                                                                        \
    GTEST_SKIP() << "no sandbox here: " << (run).out

sockaddr_in address(uint32_t ip, uint16_t port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

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
                           " && test -s /etc/reader.db && test -s /etc/card.db && exit 7");
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.status, 7) << r.out;
    EXPECT_NE(r.out.find("IP=192.0.2.10"), std::string::npos);
    EXPECT_FALSE(file_exists("/etc/" + probe) || file_exists("/dev/" + probe));
}

TEST(Sandbox, RebootStubRecords)
{
    char log[] = "/tmp/gw-reboot-log-XXXXXX";
    close(mkstemp(log));
    long long before = realtime_ms();
    setenv("GW_REBOOT_LOG", log, 1);
    Outcome r = sandbox_sh("reboot && /sbin/reboot -f && /usr/sbin/reboot now && sh -c reboot");
    unsetenv("GW_REBOOT_LOG");
    long long after = realtime_ms();
    std::istringstream in(read_file(log));
    unlink(log);
    SKIP_WITHOUT_SANDBOX(r);
    ASSERT_EQ(r.status, 0);
    std::string args; // each line's arguments, the time checked and left out
    for (std::string line; std::getline(in, line);) {
        size_t end = line.find_first_not_of("0123456789", 7);
        long long ms = atoll(line.substr(7, end - 7).c_str());
        EXPECT_TRUE(line.compare(0, 7, "reboot ") == 0 && ms >= before && ms <= after) << line;
        args += (end == std::string::npos ? "" : line.substr(end)) + "|";
    }
    EXPECT_EQ(args, "| -f| now||");
}

// A listener on the host's loopback cannot be reached from inside.
TEST(Sandbox, NetworkIsItsOwn)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = address(INADDR_LOOPBACK, 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(ls, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(ls, 1) + getsockname(ls, (sockaddr *)&a, &len), 0);
    setenv("GW_TEST_HOST_PORT", std::to_string(ntohs(a.sin_port)).c_str(), 1);

    std::vector<std::string> argv = {"--"};
    std::istringstream words(getenv("GW_EMULATOR") ? getenv("GW_EMULATOR") : "");
    for (std::string w; words >> w;)
        argv.push_back(w);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    argv.insert(argv.end(), {self, "--gtest_filter=SandboxInside.*"});
    Outcome r = sandbox(argv);
    unsetenv("GW_TEST_HOST_PORT");
    close(ls);
    SKIP_WITHOUT_SANDBOX(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
}

TEST(Sandbox, StandardInputAndSignalsArePassedOn)
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
}

// A broadcast reaches a listener inside, from eth0's address; the host's
// loopback listener is not there.
TEST(SandboxInside, Network)
{
    const char *port = getenv("GW_TEST_HOST_PORT");
    if (!getenv("GW_SANDBOX") || strcmp(getenv("GW_SANDBOX"), "1") != 0 || !port)
        GTEST_SKIP() << "runs inside the board sandbox";
    int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0), one = 1;
    sockaddr_in a = address(INADDR_ANY, 8000);
    ASSERT_EQ(bind(rx, (sockaddr *)&a, sizeof a), 0) << strerror(errno);
    ASSERT_EQ(setsockopt(tx, SOL_SOCKET, SO_BROADCAST, &one, sizeof one), 0);
    a = address(INADDR_BROADCAST, 8000);
    ASSERT_EQ(sendto(tx, "probe", 5, 0, (sockaddr *)&a, sizeof a), 5) << strerror(errno);
    pollfd p = {rx, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char buf[16], ip[INET_ADDRSTRLEN];
    socklen_t len = sizeof a;
    EXPECT_EQ(recvfrom(rx, buf, sizeof buf, 0, (sockaddr *)&a, &len), 5);
    EXPECT_EQ(std::string(buf, 5), "probe");
    EXPECT_STREQ(inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip), "192.0.2.10");
    close(tx);
    close(rx);

    int s = socket(AF_INET, SOCK_STREAM, 0);
    a = address(INADDR_LOOPBACK, (uint16_t)atoi(port));
    EXPECT_NE(connect(s, (sockaddr *)&a, sizeof a), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    close(s);
}
} // namespace
