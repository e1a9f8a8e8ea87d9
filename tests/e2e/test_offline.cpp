// Offline grace in the real daemon: a card the service granted opens from
// the store once it is gone, another does not; kill -9 keeps store and
// audit; gatewardenctl shows the audit in order and drains it.
#include <csignal>

#include "settings/offline_config.h"
#include "tests/e2e/board.h"

namespace
{

// gatewardenctl audit with args, run to its end with status 0: its lines.
std::vector<std::string> audit(const std::vector<std::string> &args)
{
    Child c;
    std::vector<std::string> argv = {gw_bin("gatewardenctl"), "audit"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(c.start(argv) && c.finish(10000) == 0);
    return c.lines();
}

// gatewarden-provision --offline-grace period: its exit status.
int grace(const char *period)
{
    Child c;
    return c.start({gw_bin("gatewarden-provision"), "--offline-grace", period}) ? c.finish(10000)
                                                                                : -1;
}

// Presents card; the reader's "out" line that follows, or "" when none came.
std::string present(Board &b, const std::string &card, bool offline = false)
{
    std::string out;
    b.mark();
    b.card(card);
    if (!offline || b.daemon.wait_for("offline: card " + card, 8000))
        b.reader.wait_for(" out ", offline ? 1000 : 8000, &out);
    return out.empty() ? "" : out.substr(out.find(" out ") + 1);
}

} // namespace

TEST(Offline, GrantedCardsOpenFromTheStoreWhichOutlivesKill9WithTheAudit)
{
    ASSERT_EQ(grace("8h"), 0);
    Board b;
    ASSERT_TRUE(b.start_reader({"--quiet-polls"}) && b.start_daemon());
    EXPECT_TRUE(b.daemon.wait_for("offline grace 8h, settings found", 5000));
    Child st;
    ASSERT_TRUE(st.start({gw_bin("gatewardenctl"), "--json", "status"}) && st.finish(10000) == 0);
    EXPECT_NE(st.lines().at(0).find("\"offlineGrace\":{\"file\":\"" OFFLINE_GRACE_FILE
                                    "\",\"on\":true,\"period\":28800}"),
              std::string::npos);
    ASSERT_TRUE(b.start_service({"--card", "0A1B2C3D=1,000000100", "--deny-all"}));
    EXPECT_EQ(present(b, "0A1B2C3D"), "out light=3 buzzer=0 relay=1");
    b.service.stop();
    usleep(1000000); // a grant older than a second outlives kill -9
    b.daemon.stop(SIGKILL);
    ASSERT_TRUE(b.start_daemon());
    EXPECT_EQ(present(b, "0A1B2C3D", true), "out light=3 buzzer=0 relay=1");
    EXPECT_EQ(present(b, "99887766", true), "");
    b.daemon.stop(SIGKILL);
    ASSERT_TRUE(b.start_daemon());
    EXPECT_EQ(present(b, "0A1B2C3D", true), "out light=3 buzzer=0 relay=1");
    EXPECT_EQ(count_lines(b.daemon, "offline: no decision from the access service"), 2);

    // The writer commits the last entry: listed without drain until it shows.
    for (int i = 0; i < 50 && audit({}).size() < 3; i++)
        usleep(100000);
    std::vector<std::string> shown = audit({"--drain"});
    const char *const want[] = {"0A1B2C3D  granted (relay 1, light 3)", "99887766  unknown",
                                "0A1B2C3D  granted (relay 1, light 3)"};
    ASSERT_EQ(shown.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_NE(shown[i].find(want[i]), std::string::npos) << shown[i];
    EXPECT_TRUE(audit({"--root", "/"}).empty());

    ASSERT_TRUE(b.start_service({"--deny-all"}));
    EXPECT_EQ(present(b, "0A1B2C3D"), "out light=1 buzzer=0 relay=0");
    EXPECT_TRUE(b.daemon.wait_for("offline: the access service decides again, 1 cards", 3000));
    EXPECT_EQ(grace("off"), 0);
    EXPECT_NE(access(OFFLINE_GRACE_FILE, F_OK), 0);
}
