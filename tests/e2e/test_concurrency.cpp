// A TCP command that arrives while the hardware thread waits for a slow
// access check: it runs after the check with its own result, and the card
// answer of that check runs too, each exactly once.
#include <set>
#include <unistd.h>

#include "tests/e2e/board.h"

const int DELAY_MS = 1500;
struct Meeting : QuietBoard {
    Meeting() { service = {"--grant-all", "--fault", "delay=" + std::to_string(DELAY_MS)}; }
};

TEST_F(Meeting, CommandsDuringAccessCheckRunOnceWithTheirOwnResults)
{

    const char CARD[] = "97 device data=030001";
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
        std::multiset<std::string> rx, want = {c.rx, CARD};
        for (auto &l : reader_requests(b.reader, from))
            if (l.rfind("95", 0) != 0) // the poll that delivered the card
                rx.insert(l);
        EXPECT_EQ(rx, want);
        EXPECT_EQ(count_lines(b.service, " request ", asked), 1);
    }
}
