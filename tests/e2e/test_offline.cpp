// Offline grace in the real daemon: cards the service granted open from the
// store once it is gone, others do not; a kill -9 keeps store and audit; the
// audit holds every offline decision in order and drains.
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

TEST(Offline, GrantedCardsOpenFromTheStoreAndEveryOfflineCardIsAudited)
{
    ASSERT_EQ(tool({gw_bin("gatewarden-provision"), "--offline-grace", "8h"}), 0);
    Board b;
    ASSERT_TRUE(b.start_reader({"--quiet-polls"}) && b.start_daemon());
    EXPECT_TRUE(b.daemon.wait_for("offline grace 8h, settings found", 5000));
    // Both granted, then the second refused: it is forgotten at once.
    ASSERT_TRUE(b.start_service(
        {"--card", "0A1B2C3D=1,000000100", "--card", "11223344=1,000000010", "--deny-all"}));
    EXPECT_EQ(present(b, "0A1B2C3D"), "out light=3 buzzer=0 relay=1");
    EXPECT_EQ(present(b, "11223344"), "out light=2 buzzer=0 relay=1");
    b.service.stop();
    ASSERT_TRUE(b.start_service({"--card", "11223344=0,000000001", "--deny-all"}));
    EXPECT_EQ(present(b, "11223344"), "out light=1 buzzer=0 relay=0");
    b.service.stop();

    const struct {
        const char *card, *out, *outcome;
        bool restart; // kill -9 and start again first
    } cases[] = {
        {"0A1B2C3D", "out light=3 buzzer=0 relay=1", "granted (relay 1, light 3)", false},
        {"11223344", "", "unknown", false},
        {"99887766", "", "unknown", false},
        {"0A1B2C3D", "out light=3 buzzer=0 relay=1", "granted (relay 1, light 3)", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.card);
        if (c.restart) {
            b.daemon.stop(SIGKILL);
            ASSERT_TRUE(b.start_daemon());
        }
        EXPECT_EQ(present(b, c.card, true), c.out);
    }
    b.drain();
    EXPECT_EQ(count_lines(b.daemon, "offline: no decision from the access service"), 2);
    EXPECT_EQ(count_lines(b.daemon, "offline: card "), 4);

    std::vector<std::string> shown, again;
    ASSERT_EQ(tool({gw_bin("gatewardenctl"), "audit", "--drain"}, &shown), 0);
    ASSERT_EQ(shown.size(), 4u);
    for (size_t i = 0; i < 4; i++)
        EXPECT_NE(shown[i].find(std::string(cases[i].card) + "  " + cases[i].outcome),
                  std::string::npos)
            << shown[i];
    ASSERT_EQ(tool({gw_bin("gatewardenctl"), "audit"}, &again), 0);
    EXPECT_TRUE(again.empty());

    // The service back: its decision wins, and the outage is over.
    ASSERT_TRUE(b.start_service({"--deny-all"}));
    EXPECT_EQ(present(b, "0A1B2C3D"), "out light=1 buzzer=0 relay=0");
    EXPECT_EQ(count_lines(b.daemon, "offline: the access service decides again, 1 cards"), 1);
    b.service.stop();
    EXPECT_EQ(present(b, "0A1B2C3D", true), "");
    unlink(GRANT_STORE_PATH);
}
