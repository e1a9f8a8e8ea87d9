// scripts/board-sandbox, the one piece of test infrastructure with a test of
// its own: what a command inside writes to /etc and /dev, does with reboot or
// leaves running stays inside, the provisioned files are there, the status out.
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tools/support/support.h"

TEST(Sandbox, EtcDevRebootAndProcessesStayInside)
{
    TempDir dir;
    const std::string log = dir.path + "/reboot.log",
                      probe = "gw-sandbox-probe-" + std::to_string(getpid()),
                      left = "sleep 987." + std::to_string(getpid());
    ASSERT_TRUE(write_file(log, ""));
    setenv("GW_REBOOT_LOG", log.c_str(), 1);
    Child c;
    ASSERT_TRUE(c.start({GW_SOURCE_DIR "/scripts/board-sandbox", "--", "sh", "-c",
                         "(" + left + " >/dev/null 2>&1 &) && echo x > /etc/" + probe +
                             " && echo x > /dev/" + probe +
                             " && test -s /etc/reader.db && test -s /etc/card.db && test ! -e "
                             "/dev/sda && head -n1 /etc/eth0-setting && reboot -f && exit 7"}));
    unsetenv("GW_REBOOT_LOG");
    int status = c.finish(60000);
    if (status == 77)
        GTEST_SKIP() << "no sandbox here";
    EXPECT_EQ(status, 7);
    ASSERT_FALSE(c.lines().empty());
    EXPECT_EQ(c.lines().back(), "IP=192.0.2.10");
    EXPECT_FALSE(file_exists("/etc/" + probe) || file_exists("/dev/" + probe));
    if (system(("pgrep -f '^" + left + "$' >/dev/null").c_str()) == 0) {
        ADD_FAILURE() << left << " outlived it";
        EXPECT_EQ(system(("pkill -f '^" + left + "$'").c_str()), 0); // this test's own process
    }
    std::string rebooted = read_file(log);
    EXPECT_EQ(rebooted.compare(0, 7, "reboot "), 0) << rebooted;
    EXPECT_NE(rebooted.find(" -f\n"), std::string::npos) << rebooted;
}
