// gatewardenctl against the real daemon in the board sandbox: search and
// set-up find the controller by broadcast.
#include "tests/ctl/ctl_harness.h"

using CtlBoard = QuietBoard;

// Only the controller a set-up names applies it.
TEST_F(CtlBoard, SearchAndSetUpReachTheControllerByBroadcast)
{
    for (const char *args : {"search -t 1000", "search --interface eth0 -t 1000"}) {
        CtlResult r = run_ctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "192.0.2.10\n") << args;
    }
    EXPECT_EQ(run_ctl("search --interface nosuchif0").status, 2);

    EXPECT_EQ(run_ctl("netconf-udp --old-ip 192.0.2.99 --ip 192.0.2.20").status, 0);
    EXPECT_EQ(run_ctl("netconf-udp --old-ip 192.0.2.10 --ip 192.0.2.20").status, 0);
    EXPECT_EQ(reboot_lines(1).size(), 1u);
    EXPECT_EQ(read_file("/etc/eth0-setting"), "IP=192.0.2.20" + b.netconf.substr(13));
    usleep(500000);
    EXPECT_EQ(reboot_lines().size(), 1u) << "the set-up for another controller was applied";
}
