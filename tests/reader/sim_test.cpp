// The reader operations against the reader simulator, faults included.
#include <gtest/gtest.h>

#include <cstring>

#include "core/slot.h"
#include "reader/optReader.h"
#include "reader/reader_frame.h"
#include "tests/reader/reader_test_util.h"

namespace
{

class Sim : public ::testing::Test
{
  protected:
    SimPort port;

    void start(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--baud", "0"});
        std::string why;
        ASSERT_TRUE(port.start(args, &why)) << why;
    }
    void fault(const std::string &notation)
    {
        ASSERT_TRUE(port.command("fault " + notation, "fault armed"));
    }
    bool logged(const std::string &line) { return port.sim.wait_for(line, 3000); }

    // Polls once; the card text, or "" for no card.
    std::string card()
    {
        char text[32] = "";
        return getReaderUid(text) == 0 ? text : "";
    }
};

TEST_F(Sim, SettingsAndOutputs)
{
    start();
    EXPECT_EQ(setReaderInfo(10, 20, 30, 1), 0);
    EXPECT_TRUE(logged("rx 90 set-info data=0A141E000101"));
    unsigned char r = 0, l = 0, b = 0, s = 0;
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), 0);
    EXPECT_EQ(r, 10);
    EXPECT_EQ(l, 20);
    EXPECT_EQ(b, 30);
    EXPECT_EQ(s, 1);

    EXPECT_EQ(ctrReaderDevice(3, 0, 1), 0);
    EXPECT_TRUE(logged("rx 97 device data=030001"));
    EXPECT_TRUE(logged("out light=3 buzzer=0 relay=1"));
    EXPECT_EQ(ctrReaderBuzzer(1), 0);
    EXPECT_TRUE(logged("out light=3 buzzer=1 relay=1"));
    EXPECT_EQ(ctrReaderDevRelay(0), 0);
    EXPECT_TRUE(logged("out light=0 buzzer=0 relay=0"));

    // A command the module does not know is refused with a status.
    unsigned char out[256];
    int outlen = 0;
    EXPECT_EQ(optFunction(0x96, nullptr, 0, out, &outlen, 500), -2);
    EXPECT_TRUE(logged("rx 96 unknown"));
}

TEST_F(Sim, CardsAreReadOncePerPresentation)
{
    start({"--card", "0A1B2C3D", "--card", "01a2b3c4d5e6f7", "--interval", "600"});
    ASSERT_TRUE(logged("card 0A1B2C3D presented"));
    Capture so(1);
    EXPECT_EQ(card(), "0A1B2C3D\n");
    EXPECT_EQ(card(), "");
    ASSERT_TRUE(logged("card 01A2B3C4D5E6F7 presented"));
    EXPECT_EQ(card(), "01A2B3C4D5E6F7\n");
    EXPECT_EQ(card(), "");
    EXPECT_EQ(so.text(), "") << "a poll without card printed something";

    ASSERT_TRUE(port.command("card 00000001", "card 00000001 presented"));
    EXPECT_EQ(card(), "00000001\n");
}

TEST_F(Sim, HeldCardAnswersEveryPoll)
{
    start({"--hold", "--card", "0A1B2C3D"});
    ASSERT_TRUE(logged("presented"));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(card(), "0A1B2C3D\n");
    ASSERT_TRUE(port.command("remove", "card removed"));
    EXPECT_EQ(card(), "");
}

// A reply after the 500 ms wait belongs, by time, to the next request.
TEST_F(Sim, LateReplyIsTakenByTheNextExchange)
{
    start({"--hold", "--card", "0A1B2C3D", "--fault", "late=750,cmd=95"});
    ASSERT_TRUE(logged("presented"));
    {
        Capture so(1);
        EXPECT_EQ(card(), "");
        EXPECT_EQ(so.text(), "recv data timeout\n");
    }
    // The settings request receives the identifier reply: 00 04 00 3D 2C 1B 0A.
    unsigned char r = 9, l = 9, b = 9, s = 9;
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), 0);
    EXPECT_EQ(r, 0x00);
    EXPECT_EQ(l, 0x04);
    EXPECT_EQ(b, 0x00);
    EXPECT_EQ(s, 0x1B);
    EXPECT_TRUE(logged("rx 91 get-info"));
    // Its own reply came in the same burst and went with it.
    EXPECT_EQ(card(), "0A1B2C3D\n");
}

// A pause inside a reply: the first piece is judged alone, the rest spoils
// the next exchange, the one after is clean again.
TEST_F(Sim, SplitReply)
{
    start({"--fault", "split=300,cmd=91"});
    unsigned char r, l, b, s;
    Capture so(1);
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), -1);
    EXPECT_EQ(ctrReaderRelay(1), -1);
    EXPECT_EQ(ctrReaderRelay(1), 0);
    EXPECT_EQ(so.text(), "Get reader info error: 00\nControl reader relay error: 00\n");
}

TEST_F(Sim, FailureStatusShowsTheErrorCode)
{
    start({"--hold", "--card", "0A1B2C3D"});
    fault("status=5A,cmd=93");
    Capture so(1);
    EXPECT_EQ(ctrReaderRelay(1), -1);
    fault("status=5A,cmd=95");
    EXPECT_EQ(card(), "");
    EXPECT_EQ(so.text(), "Control reader relay error: 5A\n");
    EXPECT_EQ(card(), "0A1B2C3D\n") << "a refused poll used up the card";
}

TEST_F(Sim, BrokenRepliesFailAndLeaveNothingBehind)
{
    start();
    for (const char *kind : {"badcrc", "noend", "garbage"}) {
        fault(kind);
        Capture so(1);
        EXPECT_EQ(ctrReaderLight(1), -1) << kind;
        EXPECT_EQ(ctrReaderLight(1), 0) << "after " << kind;
        EXPECT_EQ(so.text(), "Control reader light error: 00\n") << kind;
    }
    fault("silence");
    Capture so(1);
    unsigned char r, l, b, s;
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), -1);
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), 0);
    EXPECT_EQ(so.text(), "recv data timeout\nGet reader info error: 00\n");
}

// Too few data bytes for an identifier (or a settings record): never a
// card number or settings padded with bytes that were not received.
TEST_F(Sim, ShortRepliesGiveNothing)
{
    start({"--hold", "--card", "01A2B3C4D5E6F7"});
    ASSERT_TRUE(logged("presented"));
    for (const char *notation : {"short", "short=8"}) {
        fault(notation);
        char text[32] = "untouched";
        EXPECT_EQ(getReaderUid(text), -1) << notation;
        EXPECT_STREQ(text, "untouched") << notation;
    }
    ASSERT_TRUE(port.command("card 0A1B2C3D", "card 0A1B2C3D presented"));
    fault("short");
    EXPECT_EQ(card(), "");

    fault("short,cmd=91");
    Capture so(1);
    unsigned char r = 1, l = 1, b = 1, s = 1;
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), -1);
    EXPECT_EQ(so.text(), "Get reader info error: 00\n");
    EXPECT_EQ(r + l + b + s, 4);
}

// Replies with one byte changed on the way, through the simulator: none of
// them yields a card number, and the link is clean afterwards.
TEST_F(Sim, LineNoiseNeverGivesACard)
{
    for (const char *c : {"0A1B2C3D", "01A2B3C4D5E6F7"}) {
        SimPort p;
        std::string why;
        ASSERT_TRUE(p.start(
            {"--baud", "0", "--hold", "--card", c, "--fault", "noise,count=120", "--seed", "7"},
            &why))
            << why;
        ASSERT_TRUE(p.sim.wait_for("presented", 3000));
        Capture so(1);
        int cards = 0;
        for (int i = 0; i < 120; i++)
            cards += card() != "";
        EXPECT_EQ(cards, 0) << c;
        EXPECT_EQ(card(), std::string(c) + "\n");
        EXPECT_EQ(so.text(), "") << "a noisy reply went missing";
    }
}

// At 9600 bit/s the exchange cannot be quicker than its bytes on the wire
// plus the 10 ms of silence that ends a reply.
TEST_F(Sim, PacedRepliesTakeTheirWireTime)
{
    SimPort p;
    std::string why;
    ASSERT_TRUE(p.start({"--baud", "9600"}, &why)) << why;
    unsigned char r, l, b, s;
    double t0 = now_ms();
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), 0);
    double took = now_ms() - t0;
    EXPECT_GE(took, (7 + 13) * 10.0 / 9.6 + 10 - 0.5);
    EXPECT_LT(took, 450);
}

} // namespace
