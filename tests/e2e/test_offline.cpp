// Offline grace in the real daemon: a card the service granted opens from
// the store once it is gone, another does not; kill -9 keeps store and
// audit; gatewardenctl shows the audit in order and drains it.
#include <csignal>

#include "settings/grant_store.h"
#include "tests/e2e/board.h"

namespace
{

// A tool run to its end: its exit status and its lines.
int tool(const std::vector<std::string> &argv, std::vector<std::string> *lines = nullptr)
{
    Child c;
    int st = c.start(argv) ? c.finish(10000) : -1;
    if (lines)
        *lines = c.lines();
    return st;
}

// Presents card; the reader's "out" line that follows, or "" when none came.
std::string present(Board &b, const std::string &card, bool offline = false)
{
    size_t from = b.mark();
    b.card(card);
    bool decided = offline ? b.daemon.wait_for("offline: card " + card, 8000)
                           : b.reader.wait_for("out light=", 8000);
    usleep(300000);
    b.drain();
    for (size_t i = from; decided && i < b.reader.lines().size(); i++)
        if (b.reader.lines()[i].find(" out ") != std::string::npos)
            return b.reader.lines()[i].substr(b.reader.lines()[i].find(" out ") + 1);
    return "";
}

} // namespace

TEST(Offline, GrantedCardsOpenFromTheStoreWhichOutlivesKill9WithTheAudit)
{
    ASSERT_EQ(tool({gw_bin("gatewarden-provision"), "--offline-grace", "8h"}), 0);
    Board b;
    ASSERT_TRUE(b.start_reader({"--quiet-polls"}) && b.start_daemon());
    EXPECT_TRUE(b.daemon.wait_for("offline grace 8h, settings found", 5000));
    ASSERT_TRUE(b.start_service({"--card", "0A1B2C3D=1,000000100", "--deny-all"}));
    EXPECT_EQ(present(b, "0A1B2C3D"), "out light=3 buzzer=0 relay=1");
    b.service.stop();
    b.daemon.stop(SIGKILL);
    ASSERT_TRUE(b.start_daemon());
    EXPECT_EQ(present(b, "0A1B2C3D", true), "out light=3 buzzer=0 relay=1");
    EXPECT_EQ(present(b, "99887766", true), "");
    b.daemon.stop(SIGKILL);
    ASSERT_TRUE(b.start_daemon());
    EXPECT_EQ(present(b, "0A1B2C3D", true), "out light=3 buzzer=0 relay=1");
    EXPECT_EQ(count_lines(b.daemon, "offline: no decision from the access service"), 2);

    std::vector<std::string> shown, again;
    ASSERT_EQ(tool({gw_bin("gatewardenctl"), "audit", "--drain"}, &shown), 0);
    const char *const want[] = {"0A1B2C3D  granted (relay 1, light 3)", "99887766  unknown",
                                "0A1B2C3D  granted (relay 1, light 3)"};
    ASSERT_EQ(shown.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_NE(shown[i].find(want[i]), std::string::npos) << shown[i];
    ASSERT_EQ(tool({gw_bin("gatewardenctl"), "audit"}, &again), 0);
    EXPECT_TRUE(again.empty());

    // The service back: its decision wins, and the outage is over.
    ASSERT_TRUE(b.start_service({"--deny-all"}));
    EXPECT_EQ(present(b, "0A1B2C3D"), "out light=1 buzzer=0 relay=0");
    EXPECT_EQ(count_lines(b.daemon, "offline: the access service decides again, 1 cards"), 1);
    unlink(GRANT_STORE_PATH);
}
