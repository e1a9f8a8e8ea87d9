// The network settings file on its real path, /etc/eth0-setting, inside the
// board sandbox.
#include <atomic>
#include <fcntl.h>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "settings/netconfig.h"
#include "tests/settings/settings_files.h"

namespace
{

const std::string PATH = "/etc/eth0-setting";
const std::string FIVE = "IP=192.0.2.77\nMask=255.255.255.0\nGateway=192.0.2.1\n"
                         "DNS=198.51.100.53\nMAC=02:00:00:00:00:01\n";

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
    void TearDown() override { EXPECT_EQ(count_entries("/etc", "eth0-setting."), 0); }
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
        EXPECT_EQ(write_info(info), c.out == "-" ? "-1 Write /etc/eth0-setting failed\n" : "0 ");
        EXPECT_EQ(read_file(PATH), c.out != "-" ? c.out : c.in != "-" ? c.in : "");
    }
    write_file(PATH, FIVE);
    NetInfo five = read_info();
    unlink(PATH.c_str());
    EXPECT_EQ(write_info(five), "0 ");
    struct stat st;
    ASSERT_EQ(stat(PATH.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u); // a new file is world-readable

    // Random bytes of every length: the line parser reads only what it is
    // given (checked by AddressSanitizer) and always terminates its fields.
    std::mt19937 rng(7);
    for (int n = 0; n < 2000; n++) {
        std::vector<char> line(n % 160);
        for (char &ch : line)
            ch = "ab=\r\n\0x"[rng() % 7];
        NetEntry e;
        memset(&e, 'Q', sizeof e);
        netconfig_parse_line(&e, line.data(), line.size());
        ASSERT_NE(memchr(e.key, '\0', sizeof e.key), nullptr);
        ASSERT_NE(memchr(e.value, '\0', sizeof e.value), nullptr);
    }
}

TEST_F(NetConfig, ValuesBeyondTheLimitsAreRefused)
{
    write_file(PATH, FIVE);
    NetInfo info = read_info();
    // "IP" + 59 characters is the longest line that fits.
    const std::string ip59(59, '1'), ip60(60, '1');
    const struct {
        int idx;
        const char *value;
        int ret;
    } sets[] = {
        {NET_IP, ip59.c_str(), 0},  {NET_IP, ip60.c_str(), -1},
        {NET_DNS, "1.1.1.1\r", -1}, {-1, "x", -1},
        {NET_ENTRIES, "x", -1},     {NET_DNS, nullptr, -1},
        {NET_MAC, "", 0},
    };
    for (auto &s : sets) {
        NetInfo was = info;
        EXPECT_EQ(netinfo_set_value(&info, s.idx, s.value), s.ret) << s.idx << " " << !s.value;
        if (s.ret == 0) {
            EXPECT_STREQ(info.entry[s.idx].value, s.value);
        } else {
            EXPECT_EQ(memcmp(&was, &info, sizeof info), 0) << "changed by a refused value";
        }
    }
    // A key without its terminator (no reader makes one): no value set, not
    // written.
    memset(info.entry[NET_GATEWAY].key, 'g', NET_KEY_LEN);
    EXPECT_EQ(netinfo_set_value(&info, NET_GATEWAY, "x"), -1);
    EXPECT_EQ(write_info(info), "-1 Write /etc/eth0-setting failed\n");
    EXPECT_EQ(read_file(PATH), FIVE);
}

TEST_F(NetConfig, FailedWriteLeavesPreviousFile)
{
    write_file(PATH, FIVE);
    NetInfo info = read_info();
    ASSERT_EQ(netinfo_set_value(&info, NET_IP, "192.0.2.99"), 0);
    const std::string failed = "-1 Write /etc/eth0-setting failed\n";

    // Read-only /etc: the new file cannot even be made.
    ASSERT_EQ(mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << strerror(errno);
    std::string out = write_info(info);
    ASSERT_EQ(mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND, nullptr), 0);
    EXPECT_EQ(out, failed);
    EXPECT_EQ(read_file(PATH), FIVE);

    // Full /etc: the lines fail half-way through.
    const std::string filler = "/etc/filler";
    int fd = open(filler.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> block(1 << 20, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);
    out = write_info(info);
    unlink(filler.c_str());
    EXPECT_EQ(out, failed);
    EXPECT_EQ(read_file(PATH), FIVE);

    // With room again the same record goes through.
    EXPECT_EQ(write_info(info), "0 ");
    EXPECT_EQ(read_info().entry[NET_IP].value, std::string("192.0.2.99"));
}

TEST_F(NetConfig, SymlinkedFileIsReplacedAtItsTarget)
{
    const std::string target = "/etc/persist/eth0-setting";
    ASSERT_EQ(mkdir("/etc/persist", 0755), 0);
    write_file(target, FIVE);
    chmod(target.c_str(), 0600);
    ASSERT_EQ(symlink("persist/eth0-setting", PATH.c_str()), 0);

    NetInfo info = read_info();
    ASSERT_EQ(netinfo_set_value(&info, NET_GATEWAY, "192.0.2.254"), 0);
    ASSERT_EQ(write_info(info), "0 ");

    struct stat st;
    ASSERT_EQ(lstat(PATH.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    std::string want = FIVE;
    want.replace(want.find("192.0.2.1\n"), 9, "192.0.2.254");
    EXPECT_EQ(read_file(target), want);
    EXPECT_EQ(count_entries("/etc/persist", "eth0-setting."), 0);
}

// A writer counts up one value with read-modify-writes under netconfig_lock
// while a reader reads without the lock: no reader ever sees a partly
// written file.
TEST_F(NetConfig, ReadsDuringWritesSeeWholeFiles)
{
    write_file(PATH, "IP=192.0.2.10\nMask=255.255.255.0\nGateway=192.0.2.1\nDNS=0\nMAC=m\n");
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        for (; !done; reads++) {
            NetInfo info = read_info();
            torn += strcmp(info.entry[NET_IP].value, "192.0.2.10") != 0 ||
                    strcmp(info.entry[NET_MAC].key, "MAC") != 0;
        }
    });
    while (reads == 0)
        usleep(100);
    for (int n = 1; n <= 5000; n++) {
        pthread_mutex_lock(&netconfig_lock);
        NetInfo info = read_info();
        EXPECT_EQ(netinfo_set_value(&info, NET_DNS, std::to_string(n).c_str()), 0);
        EXPECT_EQ(writeNetConfig(&info), 0);
        pthread_mutex_unlock(&netconfig_lock);
    }
    done = true;
    reader.join();
    EXPECT_STREQ(read_info().entry[NET_DNS].value, "5000");
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

} // namespace
