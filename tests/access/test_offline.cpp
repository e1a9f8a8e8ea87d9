// Offline grace on a real SQLite file with a clock the test sets: which card
// opens without the service, what the audit keeps, the bounds, the opt-in
// file; and behind the real access gate client, which calls give no
// decision. accessGate reads /etc/reader.db: inside the board sandbox only.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "access/accessGateClient.h"
#include "access/offline_grace.h"
#include "core/slot.h"
#include "settings/grant_store.h"
#include "settings/protection.h"
#include "settings/readerdb.h"
#include "tools/support/support.h"

namespace
{

const long long H = 3600, T = 2000000000, U = T - 2000 * H; // a set clock, an unset one
long long now_at = T;

struct Grace : testing::Test {
    TempDir dir{"gw-grace"};
    std::string conf = dir.path + "/offline-grace", db = dir.path + "/offline.db";
    void SetUp() override
    {
        slot_init();
        grace_clock = [] { return now_at; };
        grace_clock_floor = T - 1000 * H;
        ASSERT_TRUE(write_file(conf, "# test\n 8h \n"));
        ASSERT_EQ(offline_grace_start(conf.c_str(), db.c_str()), 8 * H);
    }
    void TearDown() override { offline_grace_stop(), grant_store_max = GRANT_STORE_MAX; }
    // At t, the service's answer (g granted, r refused, o another card
    // refused, b refused while another connection holds the store's write
    // lock, so that the write is lost) or no decision (l): the output
    // posted, "" when none.
    std::string at(char op, const char *card, long long t)
    {
        now_at = t;
        if (op == 'b') {
            sqlite3 *other = nullptr;
            EXPECT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
            offline_grace_answer(card, 0, 1);
            EXPECT_EQ(grant_store_flush(), -1);
            sqlite3_close(other);
        } else if (op == 'l')
            offline_grace_no_answer(card);
        else
            offline_grace_answer(op == 'o' ? "other" : card, op == 'g', op == 'g' ? 3 : 1);
        return posted();
    }
    // The output posted since the last look, "" when none.
    static std::string posted()
    {
        slot_cmd c;
        return slot_take(&c) == SLOT_DEVICE ? "light=" + std::to_string(c.args.light) +
                                                  " relay=" + std::to_string(c.args.relay)
                                            : "";
    }
    std::vector<audit_row> audit(bool drain = false)
    {
        std::vector<audit_row> rows;
        grant_store_flush();
        audit_list(
            db.c_str(), drain,
            [](const audit_row *r, void *v) {
                static_cast<std::vector<audit_row> *>(v)->push_back(*r);
            },
            &rows);
        return rows;
    }
};

// accessGate for the card against a service with args (none: a closed
// port) at url (PORT: its port); the output posted, "" when none.
std::string gate(std::vector<std::string> args, std::string url)
{
    static TempDir d("gw-offline-cert");
    static bool certs = system(("cd " + d.path +
                                " && " GW_SOURCE_DIR "/scripts/make-test-cert . && " GW_SOURCE_DIR
                                "/scripts/make-test-cert --ca other")
                                   .c_str()) == 0;
    if (!args.empty() && args.back() == "--tls")
        args.insert(args.end(), {"--cert", d.path + "/cert.pem", "--key", d.path + "/key.pem"});
    args.insert(args.begin(), {gw_bin("gatewarden-servicesim"), "--port", "0"});
    Child svc;
    std::string line = ":1/";
    EXPECT_TRUE(certs && (args.size() == 3 ||
                          (svc.start(args) && svc.wait_for("listening ", 10000, &line))));
    url.replace(url.find("PORT"), 4,
                std::to_string(atoi(line.substr(line.rfind(':') + 1).c_str())));
    EXPECT_EQ(writeUrlConfig(&url[0]), 0);
    mkdir("/etc/gatewarden", 0755);
    EXPECT_TRUE(url.find("https") != 0 ||
                write_file(PROTECT_CA_FILE, read_file(d.path + "/other/ca.pem")));
    std::string card = "0A1B2C3D\n";
    accessGate(&card[0]);
    unlink(PROTECT_CA_FILE);
    return Grace::posted();
}

} // namespace

// Each row: the service's answers and the offline lookups (see at()), at
// times around T; the last lookup's outcome.
TEST_F(Grace, WhichCardOpensWithoutTheService)
{
    using step = std::pair<char, long long>; // at()'s op, time
    const struct {
        const char *name;
        std::vector<step> steps;
        const char *outcome;
    } cases[] = {
        {"granted an hour ago", {{'g', T}, {'l', T + H}}, "granted"},
        {"at the end of the period", {{'g', T}, {'l', T + 8 * H}}, "granted"},
        {"never granted", {{'l', T}}, "unknown"},
        {"refused after the grant", {{'g', T}, {'r', T + 1}, {'l', T + 2}}, "unknown"},
        {"older than the period", {{'g', T}, {'l', T + 8 * H + 1}}, "expired"},
        {"clock set back before the grant", {{'g', T}, {'l', T - H}}, "expired"},
        {"clock set back after expiry", {{'g', T}, {'l', T + 9 * H}, {'l', T + H}}, "expired"},
        {"clock forward, then back",
         {{'g', T}, {'o', T + 720 * H}, {'g', T + 1}, {'l', T + 2}},
         "expired"},
        {"clock unset at the lookup", {{'g', T}, {'l', U}}, "no clock"},
        {"granted while the clock was unset", {{'g', U}, {'l', U + 1}}, "no clock"},
        {"a write was lost", {{'g', T}, {'b', T + 1}, {'l', T + 2}}, "store failed"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string card = "C" + std::to_string(n++), out;
        offline_grace_stop(); // a store of its own: the latest time seen is the row's
        db = dir.path + "/" + card + ".db";
        ASSERT_EQ(offline_grace_start(conf.c_str(), db.c_str()), 8 * H);
        for (const step &s : c.steps)
            out = at(s.first, card.c_str(), s.second);
        std::vector<audit_row> rows = audit();
        ASSERT_FALSE(rows.empty());
        EXPECT_STREQ(rows.back().outcome, c.outcome);
        EXPECT_EQ(out, std::string(c.outcome) == "granted" ? "light=3 relay=1" : "");
    }
}

// The least recently granted card goes first; store and audit outlive a
// restart; the audit keeps every offline card in order and drains.
TEST_F(Grace, BoundsRestartAndAudit)
{
    grant_store_max = 3;
    for (const char *card : {"A", "B", "C", "A", "D"})
        at('g', card, T);
    const char *const cards[] = {"A", "B", "C", "D"};
    const char *const out[] = {"granted", "unknown", "granted", "granted"};
    for (const char *card : cards)
        at('l', card, T + 1);
    offline_grace_stop();
    ASSERT_EQ(offline_grace_start(conf.c_str(), db.c_str()), 8 * H);
    // A listing without drain writes nothing: it goes on under a write lock.
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(audit().size(), 4u);
    sqlite3_close(other);
    std::vector<audit_row> rows = audit(true);
    ASSERT_EQ(rows.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        EXPECT_STREQ(rows[i].card, cards[i]);
        EXPECT_STREQ(rows[i].outcome, out[i]);
        EXPECT_EQ(rows[i].at, T + 1);
    }
    EXPECT_TRUE(audit().empty());
}

// Without the file nothing is stored or posted; a bad file keeps it off.
TEST_F(Grace, OnlyWithAGoodFile)
{
    offline_grace_stop(), unlink(db.c_str());
    for (const char *text : {"", "8d\n", "73h\n", "0m\n", "8h\n8h\n", "8 h\n"}) {
        ASSERT_TRUE(*text ? write_file(conf, text) : unlink(conf.c_str()) == 0);
        EXPECT_EQ(offline_grace_start(conf.c_str(), db.c_str()), *text ? -1 : 0) << text;
        at('g', "A", T);
        EXPECT_EQ(at('l', "A", T + 1), "");
        EXPECT_NE(access(db.c_str(), F_OK), 0);
    }
}

// Every call that gives no decision posts the remembered output; a decision
// of the service, granted or refused, wins over the store.
TEST_F(Grace, NoDecisionUsesTheStoreAndADecisionWins)
{
    now_at = T;
    const std::string HTTP = "http://127.0.0.1:PORT/ws", HTTPS = "https" + HTTP.substr(4),
                      D = "--deny-all", F = "--fault";
    const struct {
        std::vector<std::string> args;
        std::string url, out;
    } cases[] = {
        {{"--card", "0A1B2C3D=1,000000100"}, HTTP, "light=3 relay=1"}, // granted: remembered
        {{D, F, "fault500"}, HTTP, "light=3 relay=1"},                 // SOAP fault
        {{D, F, "http=404"}, HTTP, "light=3 relay=1"},
        {{D, F, "drop"}, HTTP, "light=3 relay=1"},
        {{D, F, "delay=2600"}, HTTP, "light=3 relay=1"}, // receive time-out
        {{}, HTTP, "light=3 relay=1"},                   // no connection
        {{D}, "http://gw-no-such-host.invalid:PORT/ws", "light=3 relay=1"},
        {{D}, HTTPS, "light=3 relay=1"},                               // no TLS there
        {{D, "--tls"}, HTTPS, "light=3 relay=1"},                      // unknown issuer
        {{"--card", "0A1B2C3D=1,000000010"}, HTTP, "light=2 relay=1"}, // the service wins
        {{"--card", "0A1B2C3D=0,000000001"}, HTTP, "light=1 relay=0"}, // refused: forgotten
        {{D, F, "fault500"}, HTTP, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(gate(c.args, c.url), c.out) << c.args.size() << " " << c.url;
}
