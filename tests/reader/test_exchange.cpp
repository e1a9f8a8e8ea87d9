// The exchange against the reader simulator at 9600 bit/s with a module's
// turnaround: late replies across the end of the wait, a dropped request, a
// pause inside a reply, the pause before an idle poll; and a babbling line
// played by the test.
#include <atomic>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "reader/optReader.h"
#include "reader/reader_exchange.h"
#include "reader/reader_link.h"
#include "reader/reader_proto.h"
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

    // The simulator with a fixed turnaround (later options override); its
    // pseudo-terminal becomes fd1.
    bool start(int turnaround, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {gw_bin("gatewarden-readersim"), "--turnaround",
                                   std::to_string(turnaround), "--jitter", "0"});
        std::string line;
        if (!sim.start(args, true, true) || !sim.wait_for("ready pty=", 10000, &line))
            return false;
        size_t at = line.find("pty=") + 4;
        fd1 = port = open_port(line.substr(at, line.find(' ', at) - at).c_str());
        exchange_reset();
        return port >= 0 && set_port(port, 9600, 8, 1, 'N') == 0;
    }
    void TearDown() override
    {
        fd1 = saved_fd1;
        if (port >= 0)
            close(port);
    }
    bool command(const std::string &line)
    {
        return sim.write_stdin(line + "\n") && sim.wait_for(line[0] == 'f'   ? "fault armed"
                                                            : line[0] == 't' ? "turnaround"
                                                                             : "presented",
                                                            5000);
    }
    int get_info() { return getReaderInfo(&r, &l, &b, &s); }
    static std::string card()
    {
        char text[32] = "";
        return getReaderUid(text) == 0 ? text : "";
    }
    // The operation of a command byte (0x95: a poll, 0 when it read a card).
    int op(int cmd)
    {
        switch (cmd) {
        case READER_CMD_SET_INFO:
            return setReaderInfo(1, 2, 3, 4);
        case READER_CMD_GET_INFO:
            return get_info();
        case READER_CMD_BUZZER:
            return ctrReaderBuzzer(1);
        case READER_CMD_RELAY:
            return ctrReaderRelay(1);
        case READER_CMD_LIGHT:
            return ctrReaderLight(1);
        case READER_CMD_DEVICE:
            return ctrReaderDevice(3, 0, 1);
        default:
            return card().empty() ? -1 : 0;
        }
    }
};

// A card reply that starts from just before to just after the end of the
// wait (7 request bytes and 5 ms turnaround ahead of it), so that it is
// still arriving as the next request goes after the pause, is read once, by
// the poll or as a kept card, whatever the next request: a poll, whose own
// "no card" reply then follows it; the settings read, which gets its own
// record; or a settings read that is never answered. Nothing stays owed.
TEST_F(Sim, LateCardStillArrivingAsTheNextRequestGoes)
{
    ASSERT_TRUE(start(5));
    for (std::string id : {"0A1B2C3D", "01A2B3C4D5E6F7"})
        for (int late = 482, next = 0; late <= 524; late += 6, next = (next + 1) % 3) {
            ASSERT_TRUE(command("fault late=" + std::to_string(late) + ",cmd=95"));
            if (next == 2) {
                ASSERT_TRUE(command("fault silence,cmd=91"));
            }
            ASSERT_TRUE(command("card " + id));
            CaptureStdout();
            std::string got = card();
            usleep(static_cast<useconds_t>(readerPollWait()) * 1000); // as the loop pauses
            r = 0;
            if (next == 0)
                got += card();
            else
                EXPECT_EQ(get_info(), next == 1 ? 0 : -1) << late;
            got += card();
            got += card();
            GetCapturedStdout();
            EXPECT_EQ(got, id + "\n") << "late " << late << ", next " << next;
            EXPECT_EQ(r, next == 1 ? 3 : 0) << "the settings read took another reply";
            EXPECT_EQ(exchange_owed(), 0);
        }
}

// A reply that comes as the next request goes (a few ms after it) answers
// that request at no turnaround of the module from 0 to 20 ms: the next
// command gets its own reply (here a refusal with code 5A, or the card).
TEST_F(Sim, LateReplyThenAnotherCommand)
{
    const int P = READER_CMD_GET_UID;
    const struct {
        int late, next;
    } rows[] = {
        {P, READER_CMD_SET_INFO},
        {P, READER_CMD_GET_INFO},
        {P, READER_CMD_BUZZER},
        {P, READER_CMD_RELAY},
        {P, READER_CMD_LIGHT},
        {P, READER_CMD_DEVICE},
        {READER_CMD_DEVICE, READER_CMD_SET_INFO}, // a late success, a refusal
        {READER_CMD_RELAY, P},                    // a late command reply, then a card
    };
    ASSERT_TRUE(start(0));
    for (int turn : {0, 2, 5, 20})
        for (auto &row : rows) {
            SCOPED_TRACE(testing::Message() << std::hex << row.late << " then " << row.next
                                            << std::dec << ", turnaround " << turn);
            char arm[64];
            snprintf(arm, sizeof arm, "fault late=%d,cmd=%02X", 498 - turn, row.late);
            ASSERT_TRUE(command("turnaround " + std::to_string(turn)) && command(arm));
            snprintf(arm, sizeof arm, "fault status=5A,cmd=%02X", row.next);
            ASSERT_TRUE(command(row.next == P ? "card 0A1B2C3D" : arm));
            CaptureStdout();
            EXPECT_EQ(op(row.late), -1);
            EXPECT_EQ(op(row.next), row.next == P ? 0 : -1);
            std::string out = GetCapturedStdout();
            if (row.next != P) {
                EXPECT_NE(out.find(" error: 5A\n"), std::string::npos) << out;
            }
            EXPECT_EQ(exchange_owed(), 0);
        }
}

// A request never answered costs its own wait; the next exchange takes its
// own reply, after which nothing is owed (no catch window from then on).
TEST_F(Sim, DroppedRequestCostsOneWait)
{
    ASSERT_TRUE(start(5));
    ASSERT_TRUE(command("fault silence,cmd=91"));
    CaptureStdout();
    EXPECT_EQ(get_info(), -1);
    EXPECT_EQ(exchange_owed(), 1);
    EXPECT_EQ(ctrReaderDevice(3, 0, 1), 0);
    EXPECT_EQ(exchange_owed(), 0);
    EXPECT_EQ(GetCapturedStdout(), "recv data timeout\n"
                                   "Get reader info error: no answer from the reader\n"
                                   "recv data timeout: ended, 1 time in all\n");
}

// The gap limit inside a reply: a pause of 30 ms is ridden out, one of 60 ms
// cuts the reply (a limit twice longer or shorter fails). Either way the
// exchange after it takes its own reply.
TEST_F(Sim, PauseInsideAReply)
{
    ASSERT_TRUE(start(3));
    for (int pause : {30, 60}) {
        ASSERT_TRUE(command("fault split=" + std::to_string(pause) + ",cmd=91"));
        CaptureStdout();
        EXPECT_EQ(get_info(), pause < READER_GAP_MS ? 0 : -1) << pause << " ms";
        r = l = b = s = 9;
        EXPECT_EQ(get_info(), 0) << "after a pause of " << pause << " ms";
        GetCapturedStdout();
        EXPECT_EQ(hex({r, l, b, s}), "03 03 01 00");
    }
}

// Idle polls, as the hardware loop makes them, are at least
// READER_SILENCE_MS apart even with a module that answers at once.
TEST_F(Sim, PauseBeforeAnIdlePoll)
{
    ASSERT_TRUE(start(0, {"--baud", "0", "--quiet-polls"}));
    int polls = 0;
    for (double t0 = now_ms(); now_ms() - t0 < 500;) {
        long pause = readerPollWait();
        if (pause > 0)
            usleep(static_cast<useconds_t>(pause) * 1000);
        else
            polls += card().empty();
    }
    EXPECT_GT(polls, 0);
    EXPECT_LE(polls, 500 / READER_SILENCE_MS + 1);
}

// A line that sends without end holds a command no longer than the
// exchange's bound, whatever it sends (the test writes faster than 9600 bit/s).
using Babble = OnPty;
TEST_F(Babble, CommandEndsWithinTheBound)
{
    const bytes frame = reply_frame(0x01, {0x01});
    const struct {
        const char *name;
        bytes chunk;
    } rows[] = {
        {"0xAA", bytes(16, 0xAA)},
        {"stuck 0x00", bytes(16, 0x00)},
        {"random", unhex("AA 17 00 AA 05 BB 9C AA 00 00 F0 3E 41 AA 00 01")},
        {"valid frames", frame},
    };
    fcntl(master, F_SETFL, O_NONBLOCK);
    for (auto &row : rows) {
        std::atomic<bool> stop{false};
        std::thread line([&] {
            while (!stop) {
                if (write(master, row.chunk.data(), row.chunk.size()) < 0)
                    usleep(1000);
                usleep(1000);
            }
        });
        usleep(200000);
        CaptureStdout();
        double t0 = now_ms();
        ctrReaderRelay(1);
        double took = now_ms() - t0;
        GetCapturedStdout();
        stop = true;
        line.join();
        EXPECT_LT(took, READER_REPLY_WAIT_MS + READER_MARGIN_MS + 250) << row.name;
        tcflush(slave, TCIOFLUSH);
        exchange_reset();
    }
}

} // namespace
