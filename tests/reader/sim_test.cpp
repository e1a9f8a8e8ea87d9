// The reader operations against the reader simulator: late replies and the
// simulator's line faults.
#include <cstring>
#include <functional>
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
    // pseudo-terminal it prints the controller's port. Without with_stdin the
    // simulator's standard input is /dev/null.
    bool start(std::vector<std::string> args = {}, bool with_stdin = true)
    {
        args.insert(args.begin(), {gw_bin("gatewarden-readersim"), "--baud", "0"});
        std::string line;
        if (!sim.start(args, true, with_stdin) || !sim.wait_for("ready pty=", 10000, &line))
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

// A reply after the 500 ms wait belongs, by time, to the next request.
TEST_F(Sim, LateReplyIsTakenByTheNextExchange)
{
    ASSERT_TRUE(start({"--hold", "--card", "0A1B2C3D", "--fault", "late=750,cmd=95"}));
    ASSERT_TRUE(logged("presented"));
    CaptureStdout();
    EXPECT_EQ(card(), "");
    EXPECT_EQ(GetCapturedStdout(), "recv data timeout\n");
    // The settings request receives the identifier reply: 00 04 00 3D 2C 1B 0A.
    EXPECT_EQ(get_info(), 0);
    EXPECT_EQ(hex({r, l, b, s}), "00 04 00 1B");
    // Its own reply came in the same burst and went with it.
    EXPECT_EQ(card(), "0A1B2C3D\n");
}

// A held card answers every poll. Each fault spoils one exchange, prints
// what the controller prints, and leaves the link clean for the next one.
// Too few data bytes never give a card number or settings padded with bytes
// that were not received.
TEST_F(Sim, FaultsFailOneExchange)
{
    ASSERT_TRUE(start({"--hold", "--card", "01A2B3C4D5E6F7"}));
    char text[32];
    std::function<int()> relay = [] { return ctrReaderRelay(1); };
    std::function<int()> light = [] { return ctrReaderLight(1); };
    std::function<int()> info = [this] { return get_info(); };
    std::function<int()> uid = [&] {
        strcpy(text, "untouched");
        int ret = getReaderUid(text);
        EXPECT_STREQ(text, ret ? "untouched" : "01A2B3C4D5E6F7\n");
        return ret;
    };
    const char *const light_error = "Control reader light error: 00\n";
    struct {
        const char *fault;
        std::function<int()> &op;
        const char *printed;
    } cases[] = {
        {"status=5A,cmd=93", relay, "Control reader relay error: 5A\n"},
        {"status=5A,cmd=95", uid, ""},
        {"badcrc", light, light_error},
        {"noend", light, light_error},
        {"garbage", light, light_error},
        {"silence", info, "recv data timeout\nGet reader info error: 00\n"},
        {"short,cmd=91", info, "Get reader info error: 00\n"},
        {"short", uid, ""},
        {"short=8", uid, ""},
    };
    for (auto &c : cases) {
        ASSERT_TRUE(command("fault " + std::string(c.fault), "fault armed")) << c.fault;
        r = l = b = s = 1;
        CaptureStdout();
        EXPECT_EQ(c.op(), -1) << c.fault;
        EXPECT_EQ(r + l + b + s, 4) << c.fault << ": settings written";
        EXPECT_EQ(c.op(), 0) << "after " << c.fault;
        EXPECT_EQ(GetCapturedStdout(), c.printed) << c.fault;
    }
    ASSERT_TRUE(command("remove", "card removed"));
    EXPECT_EQ(card(), "") << "held card still read";
}

} // namespace
