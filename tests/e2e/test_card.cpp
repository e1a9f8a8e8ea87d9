// The road of a card through the real daemon: the poll that reads it, one
// GrantAccess request, the combined output command, then polling again; and
// with the service gone, nothing reaches the reader.
#include <unistd.h>

#include "tests/e2e/board.h"

TEST(CardRoad, DecisionDrivesTheReaderThenPollingResumes)
{
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
        // The same card read twice is checked twice.
        {"0A1B2C3D", "020001", "light=2 buzzer=0 relay=1", "grant relay=1 color=000000010"},
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
}
