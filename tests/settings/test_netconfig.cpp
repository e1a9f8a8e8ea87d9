// /etc/eth0-setting inside the board sandbox.
#include <climits>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "settings/netconfig.h"
#include "tools/support/support.h"

// fsync and rename as this program's code calls them, interposed: each call
// is noted as a line ("fsync <path>[ <size of a file>]", "rename <from> <to>").
std::string durability_calls;
extern "C" int fsync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    char path[PATH_MAX] = "?";
    struct stat st = {};
    if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1) > 0)
        fstat(fd, &st);
    durability_calls += "fsync " + std::string(path) +
                        (S_ISREG(st.st_mode) ? " " + std::to_string(st.st_size) : "") + "\n";
    return real(fd);
}
extern "C" int rename(const char *from, const char *to) noexcept
{
    static auto real =
        reinterpret_cast<int (*)(const char *, const char *)>(dlsym(RTLD_NEXT, "rename"));
    durability_calls += "rename " + std::string(from) + " " + to + "\n";
    return real(from, to);
}

namespace
{

const std::string PATH = "/etc/eth0-setting";
const std::string FIVE = "IP=192.0.2.77\nMask=255.255.255.0\nGateway=192.0.2.1\n"
                         "DNS=198.51.100.53\nMAC=02:00:00:00:00:01\n";
const std::string FAILED = "-1 Write /etc/eth0-setting failed\n";

NetInfo read_info()
{
    NetInfo info;
    memset(&info, 0, sizeof info);
    EXPECT_EQ(readNetConfig(&info), access(PATH.c_str(), F_OK) == 0 ? 0 : -1);
    return info;
}

// writeNetConfig's result, and what it printed.
std::string write_info(NetInfo info)
{
    testing::internal::CaptureStdout();
    int ret = writeNetConfig(&info);
    return std::to_string(ret) + " " + testing::internal::GetCapturedStdout();
}

class NetConfig : public testing::Test
{
  protected:
    void SetUp() override { unlink(PATH.c_str()); }
    void TearDown() override { EXPECT_EQ(count_entries("/etc", NETCONFIG_TMP_PREFIX), 0); }
};

// Each file is read (its entries checked where given) and written back.
TEST_F(NetConfig, FilesReadAndWrittenBack)
{
    const std::string key(100, 'k'), value(300, 'v');
    const struct {
        std::string in, entries, out; // in "-": no file; out "-": refused, file kept
    } cases[] = {
        {FIVE, "", FIVE},
        {"DNS=a=b==c\n=\nIP=192.0.2.5\r\nnoequals\nMAC=02:00:00:00:00:09",
         "[DNS][a=b==c][][][IP][192.0.2.5\r][noequals][][MAC][02:00:00:00:00:09]",
         "-"}, // an entry without a key is never written
        {FIVE + "Extra=1\nMore=2\n", "", FIVE},
        {"IP=1\nMask=2\nGateway=3\n", "", "-"},
        {key + "=" + value + "\n" + key + "\n",
         "[" + key.substr(0, 31) + "][" + value.substr(0, 63) + "][" + key.substr(0, 31) +
             "][][][][][][][]",
         "-"},
        {"-", "[][][][][][][][][][]", "-"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.in);
        unlink(PATH.c_str());
        if (c.in != "-")
            write_file(PATH, c.in);
        NetInfo info = read_info();
        std::string entries;
        for (const NetEntry &e : info.entry)
            entries += "[" + std::string(e.key) + "][" + e.value + "]";
        EXPECT_EQ(c.entries.empty() ? "" : entries, c.entries);
        if (c.out != "-")
            unlink(PATH.c_str()); // a new file: world-readable
        EXPECT_EQ(write_info(info), c.out == "-" ? FAILED : "0 ");
        EXPECT_EQ(read_file(PATH), c.out != "-" ? c.out : c.in != "-" ? c.in : "");
        struct stat st;
        EXPECT_TRUE(c.out == "-" || (stat(PATH.c_str(), &st) == 0 && (st.st_mode & 07777) == 0644));
    }
}

// Values that would not read back the same leave the record as it was; a
// key without its terminator (no reader makes one) is never written.
TEST_F(NetConfig, ValuesBeyondTheLimitsAreRefused)
{
    write_file(PATH, FIVE);
    NetInfo info = read_info(), was = info;
    const std::string ip59(59, '1'), ip60(60, '1'); // "IP" + 59: the longest line that fits
    EXPECT_EQ(netinfo_set_value(&info, NET_IP, ip60.c_str()) +
                  netinfo_set_value(&info, NET_DNS, "1.1.1.1\r") +
                  netinfo_set_value(&info, NET_ENTRIES, "x") +
                  netinfo_set_value(&info, NET_DNS, nullptr),
              -4);
    EXPECT_EQ(memcmp(&was, &info, sizeof info), 0);
    EXPECT_EQ(netinfo_set_value(&info, NET_IP, ip59.c_str()), 0);
    memset(info.entry[NET_GATEWAY].key, 'g', NET_KEY_LEN);
    EXPECT_EQ(netinfo_set_value(&info, NET_GATEWAY, "x"), -1);
    EXPECT_EQ(write_info(info), FAILED);
    EXPECT_EQ(read_file(PATH), FIVE);
}

// A full /etc: the write fails and the old file stays; with room again the
// same record goes through. A symlinked file is replaced at
// its target, which keeps its mode.
TEST_F(NetConfig, FailedWritesAndSymlink)
{
    write_file(PATH, FIVE);
    NetInfo info = read_info();
    ASSERT_EQ(netinfo_set_value(&info, NET_IP, "192.0.2.99"), 0);
    int fd = open("/etc/filler", O_CREAT | O_WRONLY, 0600);
    std::vector<char> block(1 << 20, 'x');
    for (size_t n = block.size(); n > 0; n = write(fd, block.data(), n) > 0 ? n : n / 2) {
    }
    close(fd);
    std::string out = write_info(info);
    unlink("/etc/filler");
    EXPECT_EQ(out, FAILED);
    EXPECT_EQ(read_file(PATH), FIVE);
    EXPECT_EQ(write_info(info), "0 ");
    EXPECT_EQ(read_info().entry[NET_IP].value, std::string("192.0.2.99"));

    const std::string target = "/etc/persist/eth0-setting";
    unlink(PATH.c_str());
    ASSERT_EQ(mkdir("/etc/persist", 0755), 0);
    write_file(target, FIVE);
    chmod(target.c_str(), 0600);
    ASSERT_EQ(symlink("persist/eth0-setting", PATH.c_str()), 0);
    ASSERT_EQ(write_info(info), "0 ");
    struct stat st;
    EXPECT_TRUE(lstat(PATH.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(stat(target.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600);
    EXPECT_EQ(read_file(target), "IP=192.0.2.99" + FIVE.substr(FIVE.find('\n')));
    EXPECT_EQ(count_entries("/etc/persist", NETCONFIG_TMP_PREFIX), 0);
}

// The new file is synced whole before it replaces the old one, and the
// directory after: a crash never leaves the name on a file without its data.
TEST_F(NetConfig, SyncedBeforeRenameDirectoryAfter)
{
    write_file(PATH, FIVE);
    NetInfo info = read_info();
    durability_calls.clear();
    ASSERT_EQ(write_info(info), "0 ");
    size_t at = durability_calls.find("rename ") + 7;
    std::string tmp = durability_calls.substr(at, durability_calls.find(' ', at) - at);
    EXPECT_EQ(tmp.rfind("/etc/" + std::string(NETCONFIG_TMP_PREFIX) + "eth0-setting.", 0), 0u);
    EXPECT_EQ(durability_calls, "fsync " + tmp + " " + std::to_string(FIVE.size()) + "\nrename " +
                                    tmp + " " + PATH + "\nfsync /etc\n");
}

// A writer that alternates two records is killed with SIGKILL at random
// moments: the file is always one of the two, whole.
TEST_F(NetConfig, KilledWriterLeavesAWholeFile)
{
    write_file(PATH, FIVE);
    NetInfo a = read_info(), b = a;
    ASSERT_EQ(netinfo_set_value(&b, NET_IP, "192.0.2.250"), 0);
    const std::string old_text = FIVE, new_text = "IP=192.0.2.250" + FIVE.substr(FIVE.find('\n'));
    std::mt19937 rng(11);
    int seen[2] = {0, 0};
    for (int trial = 0; trial < 250; trial++) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0;; i++)
                writeNetConfig(i % 2 ? &a : &b);
        }
        ASSERT_GT(pid, 0);
        usleep(rng() % 1500);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::string now = read_file(PATH);
        seen[now == new_text]++;
        ASSERT_TRUE(now == old_text || now == new_text) << "trial " << trial << ": [" << now << "]";
        EXPECT_EQ(system("rm -f /etc/.gatewarden-new.*"), 0); // a temporary file the kill left
    }
    EXPECT_TRUE(seen[0] > 0 && seen[1] > 0);
}

} // namespace
