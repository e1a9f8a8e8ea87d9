// gatewardenctl against the real daemon in the board sandbox: the tool's
// requests reach the reader module and the settings, and search finds the
// controller by broadcast.
#include "tests/ctl/ctl_harness.h"
#include "tests/e2e/board.h"

#include <gtest/gtest.h>

namespace
{

class CtlBoard : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        ASSERT_TRUE(board.start_reader({"--quiet-polls"}));
        ASSERT_TRUE(board.start_daemon());
    }
    Board board;
};

TEST_F(CtlBoard, ReaderSettingsTravelToTheModuleAndBack)
{
    CtlResult r = run_ctl({"reader", "set", "--devaddr", "42", "--relay", "7", "--light", "2",
                           "--buzzer", "5", "--status", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok\n");
    // The settings record as the module receives it: relay, light, buzzer, 0, 1, status.
    EXPECT_TRUE(board.reader.wait_for("rx 90 set-info data=070205000101", 3000));
    EXPECT_EQ(db_dev_addr(), 42);

    r = run_ctl({"reader", "get"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "devAddr  42\ntRelay   7\ntLight   2\ntBuzzer  5\nStatus   1\n");

    // Only --relay given: the others are read first and written back unchanged.
    r = run_ctl({"reader", "set", "--relay", "9"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(board.reader.wait_for("rx 90 set-info data=090205000101", 3000));
    EXPECT_EQ(db_dev_addr(), 42);
}

TEST_F(CtlBoard, OutputsReachTheModuleAndAFailingModuleIsRefused)
{
    CtlResult r = run_ctl({"output", "--light", "3", "--relay", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(board.reader.wait_for("out light=3 buzzer=0 relay=1", 3000));

    r = run_ctl({"relay"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(board.reader.wait_for("rx 93 relay", 3000));

    // The module stays silent on the next relay command: the controller says 0.
    board.reader.write_stdin("fault silence,cmd=93\n");
    ASSERT_TRUE(board.reader.wait_for("fault armed", 3000));
    r = run_ctl({"--json", "relay"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\n\t\"response\":\t0\n}\n");
}

TEST_F(CtlBoard, UrlAndNetworkSettingsAreReadAndStored)
{
    CtlResult r = run_ctl({"url", "set", "https://access.example/ws/AccessGate"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(db_url(), "https://access.example/ws/AccessGate");
    r = run_ctl({"url", "get"});
    EXPECT_EQ(r.out, "URL  https://access.example/ws/AccessGate\n");

    r = run_ctl({"net", "get"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("IP       192.0.2.10\nMask     255.255.255.0\n", 0), 0u) << r.out;

    // A change over TCP is stored and the device reboots.
    std::string before = read_file("/etc/eth0-setting");
    size_t reboots = reboot_lines().size();
    r = run_ctl({"net", "set", "--dns", "192.0.2.53"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file("/etc/eth0-setting").find("=192.0.2.53\n"), std::string::npos);
    double until = now_ms() + 3000;
    while (reboot_lines().size() == reboots && now_ms() < until)
        usleep(20000);
    EXPECT_EQ(reboot_lines().size(), reboots + 1);
    write_file("/etc/eth0-setting", before);
}

TEST_F(CtlBoard, SearchFindsTheControllerByBroadcast)
{
    CtlResult r = run_ctl({"search", "-t", "1000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "192.0.2.10\n");
    r = run_ctl({"search", "--interface", "eth0", "-t", "1000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "192.0.2.10\n");
}

TEST_F(CtlBoard, UdpSetupChangesOnlyTheControllerItNames)
{
    size_t reboots = reboot_lines().size();
    std::string before = read_file("/etc/eth0-setting");
    CtlResult r = run_ctl({"netconf-udp", "--old-ip", "192.0.2.99", "--ip", "192.0.2.20"});
    EXPECT_EQ(r.status, 0) << r.err;
    usleep(500000);
    EXPECT_EQ(read_file("/etc/eth0-setting"), before);
    EXPECT_EQ(reboot_lines().size(), reboots);

    r = run_ctl({"netconf-udp", "--old-ip", "192.0.2.10", "--ip", "192.0.2.20"});
    EXPECT_EQ(r.status, 0) << r.err;
    double until = now_ms() + 3000;
    while (reboot_lines().size() == reboots && now_ms() < until)
        usleep(20000);
    EXPECT_EQ(reboot_lines().size(), reboots + 1);
    EXPECT_EQ(read_file("/etc/eth0-setting").rfind("IP=192.0.2.20\n", 0), 0u);
    write_file("/etc/eth0-setting", before); // for the tests that follow
}

} // namespace
