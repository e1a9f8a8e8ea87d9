// gatewardenctl against the real daemon in the board sandbox: a setting read
// and written back through the reader module, and search and set-up finding
// the controller by broadcast.
#include "tests/ctl/ctl_harness.h"

#include <unistd.h>

using CtlBoard = QuietBoard;

// Settings not given are read from the module first and written back unchanged.
TEST_F(CtlBoard, ReaderSetReadsTheOthersFromTheModuleFirst)
{
    for (const char *args :
         {"--relay 7 --light 2 --buzzer 5 --status 1 --devaddr 42", "--relay 9"}) {
        CtlResult r = run_ctl(std::string("reader set ") + args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "ok\n");
    }
    b.drain();
    EXPECT_EQ(count_lines(b.reader, "rx 90 set-info data=070205000101"), 1);
    EXPECT_EQ(count_lines(b.reader, "rx 90 set-info data=090205000101"), 1);
    EXPECT_EQ(run_ctl("reader get").out,
              "devAddr  42\ntRelay   9\ntLight   2\ntBuzzer  5\nStatus   1\n");
}

// Search and set-up find the controller by broadcast; only the controller a
// set-up names applies it.
TEST_F(CtlBoard, SearchAndSetUpReachTheControllerByBroadcast)
{
    for (const char *args : {"search -t 1000", "search --interface eth0 -t 1000"}) {
        CtlResult r = run_ctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "192.0.2.10\n") << args;
    }
    EXPECT_EQ(run_ctl("search --interface nosuchif0").status, 2);
    EXPECT_EQ(run_ctl("netconf-udp --old-ip 192.0.2.10 --ip 1.2.3.4 --interface nosuchif0").status,
              2);

    EXPECT_EQ(run_ctl("netconf-udp --old-ip 192.0.2.99 --ip 192.0.2.20").status, 0);
    EXPECT_EQ(run_ctl("netconf-udp --old-ip 192.0.2.10 --ip 192.0.2.20").status, 0);
    EXPECT_EQ(reboot_lines(1).size(), 1u);
    EXPECT_EQ(read_file("/etc/eth0-setting"), "IP=192.0.2.20" + b.netconf.substr(13));
    usleep(500000);
    EXPECT_EQ(reboot_lines().size(), 1u) << "the set-up for another controller was applied";
}
