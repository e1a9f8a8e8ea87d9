// What the real daemon prints: its options, the start-up line, the levels
// for the journal, failures that repeat, and URLs without their passwords.
#include <csignal>
#include <unistd.h>

#include "tests/e2e/board.h"

static const std::string START =
    "gatewarden " GW_VERSION ": reader /dev/ttymxc2, UDP 8000, TCP 8001, service ";
static const std::string USAGE = "Usage: gatewarden [--help | --version]";

// Exit status, first line on standard output, standard error.
TEST(Options, HelpAndVersionPrintAnythingElseIsBadUsage)
{
    Child p;
    ASSERT_TRUE(p.start(
        {"sh", "-c",
         "r() { o=$(timeout -s KILL 5 $GW_EMULATOR \"$0\" \"$@\" 2>/dev/null | head -n1); "
         "e=$(timeout -s KILL 5 $GW_EMULATOR \"$0\" \"$@\" 2>&1 >/dev/null); echo \"$?|$o|$e\"; }; "
         "r --help; r --version; r -h; r --help --version; r ''",
         gw_bin("gatewarden")}));
    std::string bad = "2||" + USAGE, line;
    for (auto &want :
         {"0|" + USAGE + "|", std::string("0|gatewarden " GW_VERSION "|"), bad, bad, bad})
        EXPECT_TRUE(p.read_line(line, 12000) && line == want) << line << " is not " << want;
}

// No /etc/reader.db, a reader node that cannot be used: the start-up line,
// the missing file once, the node's failure once however often it is tried,
// its end when a reader comes; with the journal as output, levels.
TEST(Start, LinesLevelsAndRepeatedFailures)
{
    const std::string stored = read_file("/etc/reader.db"),
                      url = "https://accessgate/ws/AccessGate",
                      no_tty = ": Inappropriate ioctl for device";
    const struct {
        const char *journal, *node, *failure;
        std::string rest;
        bool levels;
    } cases[] = {
        {"$(stat -L -c %d:%i /proc/$$/fd/1)", "touch", "serial tcgetattr error", no_tty, 1},
        {"0:0", "mkdir", "can't open serial", " /dev/ttymxc2", 0}};
    for (const auto &c : cases) {
        auto at = [&c](const char *level) { return std::string(c.levels ? level : ""); };
        Board b;
        unlink("/etc/reader.db");
        ASSERT_EQ(system((std::string(c.node) + " /dev/ttymxc2").c_str()), 0);
        ASSERT_TRUE(b.start_daemon(
            {"sh", "-c", std::string("JOURNAL_STREAM=") + c.journal + " exec $GW_EMULATOR \"$0\"",
             gw_bin("gatewarden")}));
        usleep(4500000); // tried three times
        b.drain();
        const std::string want[] = {
            "<6>" + START + url +
                ", offline grace off, settings found: /etc/eth0-setting /etc/card.db; missing: "
                "/etc/reader.db",
            "<4>/etc/reader.db is missing: device address 0 and the built-in service URL " + url +
                " are used",
            "<6>protection: service certificate not verified; management open to every address",
            std::string("<3>") + c.failure + c.rest,
            "<4>Reader port /dev/ttymxc2 not available, trying again every 2 s"};
        for (size_t i = 0; i < 5; i++)
            EXPECT_EQ(i < b.daemon.lines().size() ? b.daemon.lines()[i] : "",
                      want[i].substr(c.levels ? 0 : 3));
        EXPECT_EQ(count_lines(b.daemon, c.failure), 1);
        ASSERT_EQ(system("rm -r /dev/ttymxc2"), 0);
        ASSERT_TRUE(b.start_reader());
        EXPECT_TRUE(b.daemon.wait_for(at("<6>") + c.failure + ": ended, ", 6000));
        b.card("0A1B2C3D"); // the built-in service is not there
        EXPECT_TRUE(b.daemon.wait_for(at("<3>") + "GrantAccess failed", 5000));
        write_file("/etc/reader.db", stored);
    }
}

// The user information of the service URL is in no line: neither in the
// echoed request, however it is spelled, nor with a card, nor at start.
TEST_F(QuietBoard, ServiceUrlIsPrintedWithoutItsPassword)
{
    const std::string masked = "http://***@127.0.0.1:9/ws";
    EXPECT_EQ(ask(cmd("CMD_SetUrlAddr", R"("http:\/\/u:secret\u0040127.0.0.1:9/ws")")), reply(1));
    b.card("0A1B2C3D");
    EXPECT_TRUE(b.daemon.wait_for("soap url:" + masked, 5000));
    b.daemon.stop(SIGKILL);
    Board again;
    ASSERT_TRUE(again.start_daemon());
    EXPECT_TRUE(
        again.daemon.wait_for(START + masked + ", offline grace off, settings found: ", 5000));
    b.drain();
    EXPECT_EQ(count_lines(b.daemon, "secret"), 0);
    EXPECT_EQ(count_lines(b.daemon, R"("Data":"http:\/\/***\u0040127.0.0.1:9/ws"})"), 1);
}
