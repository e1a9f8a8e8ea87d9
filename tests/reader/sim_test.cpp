// The reader operations against the reader simulator: late replies, the gap
// limit inside a reply, and the simulator's line faults.
#include <cstring>
#include <unistd.h>

#include "reader/optReader.h"
#include "reader/reader_frame.h"
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
        return port >= 0 && set_port(port, 9600, 8, 1, 'N') == 0;
    }
    void TearDown() override
    {
        fd1 = saved_fd1;
        if (port >= 0)
            close(port);
    }
    bool logged(const std::string &line) { return sim.wait_for(line, 3000); }
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
    ASSERT_TRUE(logged("presented"));
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

// A held card answers every poll. Each fault spoils one exchange, prints
// what the controller prints, and leaves the link clean for the next one.
// Too few data bytes never give a card number or settings padded with bytes
// that were not received.
TEST_F(Sim, FaultsFailOneExchange)
{
    ASSERT_TRUE(start({"--hold", "--card", "01A2B3C4D5E6F7"}));
    // Operations: 'r'elay, 'l'ight, settings 'i'nfo, 'u'id.
    auto op = [this](char o) {
        char text[32] = "untouched";
        int ret = o == 'r'   ? ctrReaderRelay(1)
                  : o == 'l' ? ctrReaderLight(1)
                  : o == 'i' ? get_info()
                             : getReaderUid(text);
        EXPECT_STREQ(text, o != 'u' || ret ? "untouched" : "01A2B3C4D5E6F7\n");
        return ret;
    };
    const char *const light_error = "Control reader light error: 00\n";
    const struct {
        const char *fault;
        char op;
        const char *printed;
    } cases[] = {
        {"status=5A,cmd=93", 'r', "Control reader relay error: 5A\n"},
        {"status=5A,cmd=95", 'u', ""},
        {"badcrc", 'l', light_error},
        {"noend", 'l', light_error},
        {"garbage", 'l', light_error},
        {"silence", 'i',
         "recv data timeout\nGet reader info error: 00\nrecv data timeout: ended, 1 time in all\n"},
        {"short,cmd=91", 'i', "Get reader info error: 00\n"},
        {"short", 'u', ""},
        {"short=8", 'u', ""},
    };
    for (auto &c : cases) {
        ASSERT_TRUE(command("fault " + std::string(c.fault), "fault armed")) << c.fault;
        r = l = b = s = 1;
        CaptureStdout();
        EXPECT_EQ(op(c.op), -1) << c.fault;
        EXPECT_EQ(r + l + b + s, 4) << c.fault << ": settings written";
        EXPECT_EQ(op(c.op), 0) << "after " << c.fault;
        EXPECT_EQ(GetCapturedStdout(), c.printed) << c.fault;
    }
    ASSERT_TRUE(command("remove", "card removed"));
    EXPECT_EQ(card(), "") << "held card still read";
}

// At 9600 bit/s the exchange cannot be quicker than its bytes on the wire;
// a complete reply ends it. An unknown command is refused with a status.
TEST_F(Sim, PacedRepliesTakeTheirWireTime)
{
    ASSERT_TRUE(start({"--baud", "9600"}));
    EXPECT_EQ(setReaderInfo(10, 20, 30, 1), 0);
    double t0 = now_ms();
    EXPECT_EQ(get_info(), 0);
    double took = now_ms() - t0;
    EXPECT_GE(took, (7 + 13) * 10.0 / 9.6 - 0.5);
    EXPECT_LT(took, 450);
    EXPECT_EQ(hex({r, l, b, s}), "0A 14 1E 01");
    unsigned char out[256];
    int outlen = 0;
    EXPECT_EQ(optFunction(0x96, nullptr, 0, out, &outlen, 500), -2);
}

} // namespace
