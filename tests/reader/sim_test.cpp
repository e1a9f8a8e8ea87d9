// The reader operations against the reader simulator: late replies, the gap
// limit inside a reply, a short reply and the pacing of the wire.
#include <unistd.h>

#include "reader/optReader.h"
#include "reader/reader_exchange.h"
#include "reader/reader_link.h"
#include "reader/serial_port.h"
#include "tests/reader/reader_util.h"

namespace
{

class Sim : public testing::Test
{
  protected:
    Child sim;
    int saved_fd1 = fd1, port = -1;
    unsigned char r = 0, l = 0, b = 0, s = 0;

    // Starts the simulator (a later --baud overrides the first) and makes the
    // pseudo-terminal it prints the controller's port.
    bool start(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {gw_bin("gatewarden-readersim"), "--baud", "0"});
        std::string line;
        if (!sim.start(args, true, true) || !sim.wait_for("ready pty=", 10000, &line))
            return false;
        size_t at = line.find("pty=") + 4;
        port = open_port(line.substr(at, line.find(' ', at) - at).c_str());
        fd1 = port;
        exchange_reset();
        return port >= 0 && set_port(port, 9600, 8, 1, 'N') == 0;
    }
    void TearDown() override
    {
        fd1 = saved_fd1;
        if (port >= 0)
            close(port);
    }
    bool command(const std::string &line, const std::string &confirm)
    {
        return sim.write_stdin(line + "\n") && sim.wait_for(confirm, 5000);
    }
    int get_info() { return getReaderInfo(&r, &l, &b, &s); }

    // Polls once; the card text, or "" for no card.
    static std::string card()
    {
        char text[32] = "";
        return getReaderUid(text) == 0 ? text : "";
    }
};

// A card reply after the 500 ms wait is a card read all the same, and never
// the answer to the settings request that follows it.
TEST_F(Sim, LateCardNeverAnswersAnotherCommand)
{
    ASSERT_TRUE(start({"--card", "0A1B2C3D", "--fault", "late=750,cmd=95"}));
    ASSERT_TRUE(sim.wait_for("presented", 3000));
    CaptureStdout();
    EXPECT_EQ(card(), "");
    EXPECT_EQ(GetCapturedStdout(), "recv data timeout\n");
    EXPECT_EQ(get_info(), 0);
    EXPECT_EQ(hex({r, l, b, s}), "03 03 01 00") << "not the module's settings record";
    EXPECT_EQ(card(), "0A1B2C3D\n");
}

// The gap limit inside a reply: a pause of 30 ms is ridden out, one of 60 ms
// cuts the reply (fixed figures: a limit four times longer or shorter fails).
// Either way the exchange after it is clean.
TEST_F(Sim, PauseInsideAReply)
{
    ASSERT_TRUE(start());
    for (auto c : {std::make_pair(30, 0), std::make_pair(60, -1)}) {
        ASSERT_TRUE(command("fault split=" + std::to_string(c.first) + ",cmd=91", "fault armed"));
        CaptureStdout();
        EXPECT_EQ(get_info(), c.second) << c.first << " ms";
        r = l = b = s = 9;
        EXPECT_EQ(get_info(), 0) << "after a pause of " << c.first << " ms";
        GetCapturedStdout();
        EXPECT_EQ(hex({r, l, b, s}), "03 03 01 00");
    }
}

// A settings reply that comes after its wait, whether it is already queued
// or still on its way when the next command goes, answers no later command.
TEST_F(Sim, LateSettingsReplyAnswersNoLaterCommand)
{
    ASSERT_TRUE(start({"--baud", "9600"}));
    for (int pause : {0, 300}) {
        ASSERT_TRUE(command("fault late=600,cmd=91", "fault armed"));
        CaptureStdout();
        EXPECT_EQ(get_info(), -1);
        usleep(static_cast<useconds_t>(pause) * 1000);
        EXPECT_EQ(setReaderInfo(10, 20, 30, static_cast<unsigned char>(pause / 100)), 0) << pause;
        usleep(50000);
        EXPECT_EQ(get_info(), 0) << pause;
        GetCapturedStdout();
        EXPECT_EQ(s, pause / 100) << "settings of the late reply";
    }
}

// A reply with too few data bytes fails its exchange without settings padded
// with bytes that were not received, and leaves the link clean. (Time-outs,
// failure statuses, bad check bytes, short identifiers, missing end bytes and
// noise: the frame tests.)
TEST_F(Sim, ShortSettingsReplyFailsOneExchange)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(command("fault short,cmd=91", "fault armed"));
    r = l = b = s = 1;
    CaptureStdout();
    EXPECT_EQ(get_info(), -1);
    EXPECT_EQ(r + l + b + s, 4) << "settings written";
    EXPECT_EQ(get_info(), 0);
    EXPECT_EQ(GetCapturedStdout(), "Get reader info error: 00\n");
}

// At 9600 bit/s the exchange cannot be quicker than its bytes on the wire;
// a complete reply ends it.
TEST_F(Sim, PacedRepliesTakeTheirWireTime)
{
    ASSERT_TRUE(start({"--baud", "9600"}));
    double t0 = now_ms();
    EXPECT_EQ(get_info(), 0);
    double took = now_ms() - t0;
    EXPECT_GE(took, (7 + 13) * 10.0 / 9.6 - 0.5);
    EXPECT_LT(took, 450);
}

} // namespace
