// The road of a card through the real daemon: the poll that reads it, one
// GrantAccess request, the combined output command, then polling again; and
// with the service gone, nothing reaches the reader.
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/grant_store.h"
#include "tests/e2e/board.h"

TEST(CardRoad, DecisionDrivesTheReaderThenPollingResumes)
{
    mkdir("/etc/gatewarden", 0755); // where an offline store would go
    Board b;
    ASSERT_TRUE(b.start_reader());
    ASSERT_TRUE(b.start_daemon());
    ASSERT_TRUE(b.start_service(
        {"--grant-all", "--card", "0A1B2C3D=1,000000010", "--card", "04A1B2C3D4E5F6=0,000000001"}));
    ASSERT_EQ(ask(cmd("CMD_SetReaderInfo", R"({"devAddr":7,"tRelay":1,"tLight":1,"tBuzzer":1,)"
                                           R"("Status":1})")),
              reply(1));
    ASSERT_TRUE(b.reader.wait_for("rx 95 poll", 5000)) << "no polling";

    const struct {
        const char *card, *device, *out, *decision;
    } cases[] = {
        {"11223344", "030001", "light=3 buzzer=0 relay=1", "grant relay=1 color=000000100"},
        {"04A1B2C3D4E5F6", "010000", "light=1 buzzer=0 relay=0", "deny relay=0 color=000000001"},
        {"0A1B2C3D", "020001", "light=2 buzzer=0 relay=1", "grant relay=1 color=000000010"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.card);
        size_t from = b.mark(), asked = b.service.lines().size();
        b.card(c.card);
        ASSERT_TRUE(b.reader.wait_for("out light=", 8000));
        ASSERT_TRUE(b.reader.wait_for("rx 95 poll", 3000)) << "polling did not resume";
        usleep(300000);
        b.drain();
        // The exchanges after the poll that delivered the card.
        while (from < b.reader.lines().size() &&
               b.reader.lines()[from].find(" tx status=00 data=") == std::string::npos)
            from++;
        std::vector<std::string> seq = reader_requests(b.reader, from);
        seq.resize(std::min<size_t>(seq.size(), 2));
        EXPECT_EQ(seq,
                  (std::vector<std::string>{std::string("97 device data=") + c.device, "95 poll"}));
        EXPECT_EQ(count_lines(b.reader, " rx 97", from), 1);
        EXPECT_EQ(count_lines(b.reader, std::string("out ") + c.out, from), 1);
        std::string line = std::string("request dev=7 card=") + c.card + "\\n decision=";
        EXPECT_EQ(count_lines(b.service, " request ", asked), 1);
        EXPECT_EQ(count_lines(b.service, line + c.decision, asked), 1);
    }

    // No answer from the service: nothing reaches the reader, polling goes
    // on, and the next card is read and checked again.
    b.service.stop();
    size_t from = b.reader.lines().size();
    for (int i = 0; i < 2; i++) {
        b.card("0A1B2C3D");
        ASSERT_TRUE(b.daemon.wait_for("GrantAccess failed", 8000));
        ASSERT_TRUE(b.reader.wait_for("rx 95 poll", 3000));
    }
    usleep(200000);
    b.drain();
    EXPECT_EQ(count_lines(b.reader, " rx 97", from), 0);
    EXPECT_EQ(count_lines(b.reader, "out light=", from), 0);
    EXPECT_NE(access(GRANT_STORE_PATH, F_OK), 0) << "offline grace is off, nothing is stored";
}

// A TCP command that arrives while the hardware thread waits for a slow
// access check: it runs after the check with its own result, and the card
// answer of that check runs too, each exactly once.
const int DELAY_MS = 1500;
struct Meeting : QuietBoard {
    Meeting() { service = {"--grant-all", "--fault", "delay=" + std::to_string(DELAY_MS)}; }
};

TEST_F(Meeting, CommandsDuringAccessCheckRunOnceWithTheirOwnResults)
{
    const struct {
        std::string fault, request, reply, rx;
    } cases[] = {
        {"", cmd("CMD_CtrRelay"), reply(1), "93 relay"},
        // The command fails while the card answer succeeds: the requester
        // gets its own failure.
        {"fault status=05,cmd=93\n", cmd("CMD_CtrRelay"), reply(0), "93 relay"},
        // Both are combined output commands: neither overwrites the other's codes.
        {"", cmd("CMD_CtrDevice", R"({"Light":5,"Buzzer":1,"Relay":0})"), reply(1),
         "97 device data=050100"},
        // The settings read during a check come back to the requester.
        {"", cmd("CMD_GetReaderInfo"), "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n", "91 get-info"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        size_t from = b.mark(), asked = b.service.lines().size();
        b.reader.write_stdin(c.fault + "card 0A1B2C3D\n");
        ASSERT_TRUE(b.reader.wait_for(" tx status=00 data=", 5000));
        double t0 = now_ms();
        std::string r = ask(c.request, 10000);
        EXPECT_GE(now_ms() - t0, DELAY_MS - 500.0) << "it had to wait for the check";
        EXPECT_EQ(r.rfind(c.reply, 0), 0u) << r;
        EXPECT_TRUE(b.reader.wait_for("out light=3 buzzer=0 relay=1", 5000));
        usleep(300000);
        b.drain();
        std::multiset<std::string> rx, want = {c.rx, "97 device data=030001"};
        for (auto &l : reader_requests(b.reader, from))
            if (l.rfind("95", 0) != 0) // the poll that delivered the card
                rx.insert(l);
        EXPECT_EQ(rx, want);
        EXPECT_EQ(count_lines(b.service, " request ", asked), 1);
    }
}

// The service's host takes no connection: a listener whose accept queue is
// full, so further connection attempts are dropped. The card fails within
// the connect time-out and polling resumes at once.
TEST_F(QuietBoard, DroppedConnectionAttemptsCostOneConnectTimeOut)
{
    int port, fill[3], l = tcp_full_listener(&port, fill);
    ASSERT_GE(l, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/ws/AccessGate";
    ASSERT_EQ(ask(cmd("CMD_SetUrlAddr", '"' + url + '"')), reply(1));

    ASSERT_TRUE(b.card("0A1B2C3D") && b.reader.wait_for("tx status=00", 3000));
    double t0 = now_ms();
    ASSERT_TRUE(b.daemon.wait_for("GrantAccess failed", 60000));
    double took = now_ms() - t0;
    EXPECT_LT(took, 6000) << "connect not bounded";
    EXPECT_GT(took, 1500) << "did the connection attempts get dropped?";
    ASSERT_TRUE(b.fault("status=01,cmd=95"));
    EXPECT_TRUE(b.reader.wait_for("rx 95 poll", 2000)) << "polling did not resume";
    for (int f : fill)
        close(f);
    close(l);
}
