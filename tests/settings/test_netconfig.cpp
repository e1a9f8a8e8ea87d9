// The network settings file on its real path, /etc/eth0-setting, inside the
// board sandbox.
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
const char *const FAILED = "Write /etc/eth0-setting failed\n";

NetInfo read_info()
{
    NetInfo info;
    memset(&info, 0, sizeof info);
    EXPECT_EQ(readNetConfig(&info), 0);
    return info;
}

bool is_cleared(const NetEntry &e)
{
    static const NetEntry zero = {};
    return memcmp(&e, &zero, sizeof e) == 0;
}

int write_captured(NetInfo *info, std::string *out)
{
    testing::internal::CaptureStdout();
    int ret = writeNetConfig(info);
    *out = testing::internal::GetCapturedStdout();
    return ret;
}

class NetConfig : public testing::Test
{
  protected:
    void SetUp() override { unlink(PATH.c_str()); }
    void TearDown() override { EXPECT_EQ(count_entries("/etc", "eth0-setting."), 0); }
};

TEST_F(NetConfig, FiveLinesRoundTripByteForByte)
{
    write_file(PATH, FIVE);
    NetInfo info = read_info();
    const char *keys[] = {"IP", "Mask", "Gateway", "DNS", "MAC"};
    const char *values[] = {"192.0.2.77", "255.255.255.0", "192.0.2.1", "198.51.100.53",
                            "02:00:00:00:00:01"};
    for (int i = 0; i < NET_ENTRIES; i++) {
        EXPECT_STREQ(info.entry[i].key, keys[i]);
        EXPECT_STREQ(info.entry[i].value, values[i]);
    }
    unlink(PATH.c_str());
    EXPECT_EQ(writeNetConfig(&info), 0);
    EXPECT_EQ(read_file(PATH), FIVE);

    struct stat st;
    ASSERT_EQ(stat(PATH.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u); // a new file is world-readable
}

TEST_F(NetConfig, LineShapes)
{
    // '=' inside a value, a bare '=', CR before the line feed, a line
    // without '=', and a last line without its line feed.
    const std::string text = "DNS=a=b==c\n=\nIP=192.0.2.5\r\nnoequals\nMAC=02:00:00:00:00:09";
    write_file(PATH, text);
    NetInfo info = read_info();
    EXPECT_STREQ(info.entry[0].key, "DNS");
    EXPECT_STREQ(info.entry[0].value, "a=b==c");
    EXPECT_STREQ(info.entry[1].key, "");
    EXPECT_STREQ(info.entry[1].value, "");
    EXPECT_STREQ(info.entry[2].key, "IP");
    EXPECT_STREQ(info.entry[2].value, "192.0.2.5\r");
    EXPECT_STREQ(info.entry[3].key, "noequals");
    EXPECT_STREQ(info.entry[3].value, "");
    EXPECT_STREQ(info.entry[4].key, "MAC");
    EXPECT_STREQ(info.entry[4].value, "02:00:00:00:00:09");

    ASSERT_EQ(writeNetConfig(&info), 0);
    EXPECT_EQ(read_file(PATH), "DNS=a=b==c\n=\nIP=192.0.2.5\r\nnoequals=\nMAC=02:00:00:00:00:09\n");

    // A CRLF file comes back byte for byte.
    const std::string crlf = "IP=1\r\nMask=2\r\nGateway=3\r\nDNS=4\r\nMAC=5\r\n";
    write_file(PATH, crlf);
    info = read_info();
    ASSERT_EQ(writeNetConfig(&info), 0);
    EXPECT_EQ(read_file(PATH), crlf);
}

TEST_F(NetConfig, SevenLinesAndThreeLines)
{
    write_file(PATH, FIVE + "Extra=1\nMore=2\n");
    NetInfo info = read_info();
    EXPECT_STREQ(info.entry[4].value, "02:00:00:00:00:01");
    ASSERT_EQ(writeNetConfig(&info), 0);
    EXPECT_EQ(read_file(PATH), FIVE);

    write_file(PATH, "IP=1.1.1.1\nMask=255.0.0.0\nGateway=1.1.1.254\n");
    info = read_info();
    EXPECT_TRUE(is_cleared(info.entry[3]));
    EXPECT_TRUE(is_cleared(info.entry[4]));
    ASSERT_EQ(netinfo_set_value(&info, NET_DNS, "9.9.9.9"), 0);
    ASSERT_EQ(writeNetConfig(&info), 0);
    EXPECT_EQ(read_file(PATH), "IP=1.1.1.1\nMask=255.0.0.0\nGateway=1.1.1.254\n=9.9.9.9\n=\n");
}

TEST_F(NetConfig, MissingFileReadsClearedAndWriteCreatesIt)
{
    NetInfo info = read_info();
    for (int i = 0; i < NET_ENTRIES; i++)
        EXPECT_TRUE(is_cleared(info.entry[i]));
    ASSERT_EQ(writeNetConfig(&info), 0);
    EXPECT_EQ(read_file(PATH), "=\n=\n=\n=\n=\n");
}

TEST_F(NetConfig, OverlongTextsAreCutOnReading)
{
    const std::string key(100, 'k'), value(300, 'v');
    write_file(PATH, key + "=" + value + "\n" + key + "\n");
    NetInfo info = read_info();
    EXPECT_EQ(std::string(info.entry[0].key), key.substr(0, NET_KEY_LEN - 1));
    EXPECT_EQ(std::string(info.entry[0].value), value.substr(0, NET_VALUE_LEN - 1));
    EXPECT_EQ(std::string(info.entry[1].key), key.substr(0, NET_KEY_LEN - 1));

    // Random bytes of every length: the line parser reads only what it is
    // given (checked by AddressSanitizer) and always terminates its fields.
    std::mt19937 rng(7);
    for (int n = 0; n < 2000; n++) {
        std::vector<char> line(n % 160);
        for (char &c : line)
            c = "ab=\r\n\0x"[rng() % 7];
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
    NetInfo before = info;

    // "IP" + 59 characters is the longest line that fits.
    EXPECT_EQ(netinfo_set_value(&info, NET_IP, std::string(59, '1').c_str()), 0);
    EXPECT_EQ(netinfo_set_value(&info, NET_IP, std::string(60, '1').c_str()), -1);
    EXPECT_EQ(std::string(info.entry[NET_IP].value), std::string(59, '1'));
    EXPECT_EQ(netinfo_set_value(&info, NET_MAC, std::string(200, 'f').c_str()), -1);
    EXPECT_EQ(netinfo_set_value(&info, NET_DNS, "1.1.1.1\nIP=6.6.6.6"), -1);
    EXPECT_EQ(netinfo_set_value(&info, NET_DNS, "1.1.1.1\r"), -1);
    EXPECT_EQ(netinfo_set_value(&info, -1, "x"), -1);
    EXPECT_EQ(netinfo_set_value(&info, NET_ENTRIES, "x"), -1);
    EXPECT_EQ(netinfo_set_value(&info, NET_DNS, nullptr), -1);
    EXPECT_STREQ(info.entry[NET_DNS].value, before.entry[NET_DNS].value);
    EXPECT_STREQ(info.entry[NET_MAC].value, before.entry[NET_MAC].value);
    EXPECT_EQ(netinfo_set_value(&info, NET_DNS, ""), 0);
    EXPECT_STREQ(info.entry[NET_DNS].value, "");

    // A record that would not read back the same is not written at all.
    std::string out;
    NetInfo bad = before;
    memset(bad.entry[NET_MASK].value, '9', 58); // key "Mask" + 58 > 61
    EXPECT_EQ(write_captured(&bad, &out), -1);
    EXPECT_EQ(out, FAILED);
    bad = before;
    memset(bad.entry[NET_GATEWAY].key, 'g', NET_KEY_LEN); // no terminator
    EXPECT_EQ(write_captured(&bad, &out), -1);
    bad = before;
    strcpy(bad.entry[NET_DNS].value, "1\n2");
    EXPECT_EQ(write_captured(&bad, &out), -1);
    EXPECT_EQ(read_file(PATH), FIVE);
}

TEST_F(NetConfig, FailedWriteLeavesPreviousFile)
{
    write_file(PATH, FIVE);
    NetInfo info = read_info();
    ASSERT_EQ(netinfo_set_value(&info, NET_IP, "192.0.2.99"), 0);
    std::string out;

    // Read-only /etc: the new file cannot even be made.
    ASSERT_EQ(mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << strerror(errno);
    int ret = write_captured(&info, &out);
    ASSERT_EQ(mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND, nullptr), 0);
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(out, FAILED);
    EXPECT_EQ(read_file(PATH), FIVE);

    // Full /etc: the lines fail half-way through.
    struct statvfs fs;
    ASSERT_EQ(statvfs("/etc", &fs), 0);
    const std::string filler = "/etc/filler";
    int fd = open(filler.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> block(1 << 20, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);
    ret = write_captured(&info, &out);
    unlink(filler.c_str());
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(out, FAILED);
    EXPECT_EQ(read_file(PATH), FIVE);

    // With room again the same record goes through.
    EXPECT_EQ(writeNetConfig(&info), 0);
    EXPECT_EQ(read_info().entry[NET_IP].value, std::string("192.0.2.99"));
}

TEST_F(NetConfig, SymlinkedFileIsReplacedAtItsTarget)
{
    ASSERT_EQ(mkdir("/etc/persist", 0755), 0);
    write_file("/etc/persist/eth0-setting", FIVE);
    chmod("/etc/persist/eth0-setting", 0600);
    ASSERT_EQ(symlink("persist/eth0-setting", PATH.c_str()), 0);

    NetInfo info = read_info();
    ASSERT_EQ(netinfo_set_value(&info, NET_GATEWAY, "192.0.2.254"), 0);
    ASSERT_EQ(writeNetConfig(&info), 0);

    struct stat st;
    ASSERT_EQ(lstat(PATH.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat("/etc/persist/eth0-setting", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file("/etc/persist/eth0-setting"),
              "IP=192.0.2.77\nMask=255.255.255.0\nGateway=192.0.2.254\n"
              "DNS=198.51.100.53\nMAC=02:00:00:00:00:01\n");
    EXPECT_EQ(count_entries("/etc/persist", "eth0-setting."), 0);
    unlink(PATH.c_str());
    unlink("/etc/persist/eth0-setting");
    rmdir("/etc/persist");
}

// Two threads count up one value with read-modify-writes under
// netconfig_lock while a third reads without the lock: no update is lost,
// and no reader ever sees a partly written file.
TEST_F(NetConfig, ConcurrentReadModifyWritesLoseNothing)
{
    write_file(PATH, "IP=192.0.2.10\nMask=255.255.255.0\nGateway=192.0.2.1\nDNS=0\nMAC=m\n");
    const int rounds = 60;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};

    auto writer = [&] {
        for (int n = 0; n < rounds; n++) {
            pthread_mutex_lock(&netconfig_lock);
            NetInfo info;
            memset(&info, 0, sizeof info);
            readNetConfig(&info);
            std::string next = std::to_string(atoi(info.entry[NET_DNS].value) + 1);
            int ret = netinfo_set_value(&info, NET_DNS, next.c_str());
            ret = ret == 0 ? writeNetConfig(&info) : ret;
            pthread_mutex_unlock(&netconfig_lock);
            ASSERT_EQ(ret, 0);
        }
    };
    std::thread reader([&] {
        while (!done) {
            NetInfo info;
            memset(&info, 0, sizeof info);
            readNetConfig(&info);
            if (strcmp(info.entry[NET_IP].value, "192.0.2.10") != 0 ||
                strcmp(info.entry[NET_MAC].key, "MAC") != 0)
                torn++;
            reads++;
        }
    });
    std::thread a(writer), b(writer);
    a.join();
    b.join();
    done = true;
    reader.join();

    EXPECT_EQ(read_info().entry[NET_DNS].value, std::to_string(2 * rounds));
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

} // namespace
