// Frames on the wire, byte for byte: building, validating, and the reader
// operations against a module that the test plays on a pseudo-terminal,
// line noise included.
#include <algorithm>
#include <cstring>
#include <functional>

#include "reader/optReader.h"
#include "reader/reader_exchange.h"
#include "reader/reader_frame.h"
#include "reader/reader_link.h"
#include "reader/reader_proto.h"
#include "tests/reader/reader_util.h"

namespace
{

TEST(Frame, RequestsGoOutByteForByte)
{
    unsigned char b[] = {0x00, 0x00, 0x04, 0x97, 0x02, 0x00, 0x01};
    EXPECT_EQ(makecrc(b, 7), 0x90);
    EXPECT_EQ(makecrc(b, 0) + makecrc(b, -3), 0);

    bytes max = reply_frame(0x90, bytes(FRAME_MAX_DATA, 0x11));
    ASSERT_EQ(max.size(), 256u);
    EXPECT_EQ(max[3], 250);
    EXPECT_EQ(max[255], 0xBB);

    unsigned char out[FRAME_AREA + 8], data[FRAME_MAX_DATA + 1] = {};
    EXPECT_EQ(frame_build(out, 0x90, data, FRAME_MAX_DATA + 1), -1);
    EXPECT_EQ(frame_build(out, 0x90, nullptr, 3), -1);
}

// A frame with length byte l and l - 1 zero data bytes, built by hand so
// that lengths beyond what frame_build makes can be tried.
bytes long_frame(int l)
{
    bytes f = {0xAA, 0x00, 0x00, static_cast<unsigned char>(l), 0x00};
    f.resize(f.size() + static_cast<size_t>(l - 1), 0x00);
    f.push_back(static_cast<unsigned char>(l));
    f.push_back(0xBB);
    return f;
}

TEST(Frame, RepliesAreValidated)
{
    const std::pair<bytes, int> cases[] = {
        // Accepted, with their status byte.
        {unhex("AA 00 00 01 00 01 BB"), 0x00},
        {unhex("AA 00 00 07 00 0A 14 1E 00 01 01 07 BB"), 0x00},
        {unhex("AA 12 34 01 00 27 BB"), 0x00},       // fixed bytes only checked
        {unhex("AA 00 00 01 05 04 BB"), 0x05},       // failure without data
        {unhex("AA 00 00 01 00 01 BB AA 99"), 0x00}, // bytes after the end
        {long_frame(250), 0x00},                     // fills the 256-byte area
        // Rejected.
        {unhex("00 AA 00 00 01 00 01 BB"), -1}, // stray byte ahead
        {unhex("AB 00 00 01 00 01 BB"), -1},    // wrong start
        {unhex("AA 00 00 01 00 00 BB"), -1},    // wrong check
        {unhex("AA 00 00 01 00 01"), -1},       // no end byte
        {unhex("AA 00 00 01 00 01 BC"), -1},    // wrong end byte
        {unhex("AA 00 00 07 00 0A 14"), -1},    // cut short
        {unhex("AA 00 00 00 00 BB"), -1},       // length 0
        {long_frame(251), -1},                  // check and end byte beyond the area
        {{}, -1},
    };
    for (auto &c : cases) {
        unsigned char area[2 * FRAME_AREA] = {}, code = 0x77;
        std::copy(c.first.begin(), c.first.end(), area);
        const unsigned char *d = nullptr;
        int n = -5;
        int r = frame_parse(area, static_cast<int>(c.first.size()), &code, &d, &n);
        SCOPED_TRACE(hex(c.first));
        EXPECT_EQ(r, c.second < 0 ? -1 : 0);
        if (c.second < 0 || r != 0) {
            EXPECT_EQ(code, 0x77) << "outputs written on failure";
            continue;
        }
        EXPECT_EQ(code, c.second);
        EXPECT_EQ(n, c.first[3] - 1);
        EXPECT_EQ(d, area + 5);
    }
}

// The test answers each request once it is in, then reads the request back.
using Wire = OnPty;

TEST_F(Wire, FailedExchanges)
{
    unsigned char out[FRAME_AREA];
    memset(out, 0xEE, sizeof out);
    int outlen = 1234;

    // Wrong check byte and a trailing byte: nothing printed, outputs left
    // alone, and the whole burst consumed.
    answer(unhex("AA 00 00 02 00 07 00 BB 55"));
    CaptureStdout();
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 500), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(outlen == 1234 && out[0] == 0xEE) << "outputs written";
    EXPECT_EQ(queued(), 0) << "bytes of the burst left for the next exchange";
    request();

    bytes big(FRAME_MAX_DATA + 1, 0);
    EXPECT_EQ(optFunction(0x90, big.data(), static_cast<int>(big.size()), out, &outlen, 10), -1);
    EXPECT_EQ(request(50), "") << "oversized request sent";
    fd1 = -1;
    CaptureStderr();
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 10), -1);
    EXPECT_EQ(GetCapturedStderr(), "select error\n: Bad file descriptor\n");

    // A line that has hung up gives nothing at once: no time-out.
    fd1 = slave;
    close(master);
    master = -1;
    CaptureStdout();
    double t0 = now_ms();
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 500), -1);
    EXPECT_LT(now_ms() - t0, 400);
    EXPECT_EQ(GetCapturedStdout(), "");
}

// Bytes before the start byte (line noise, the tail of a cut reply, a start
// byte whose frame never completes) do not lose the reply behind them.
TEST_F(Wire, NoiseBeforeTheStartByte)
{
    const bytes card = reply_frame(0x00, unhex("00 04 00 3D 2C 1B 0A"));
    for (const char *noise : {"13", "AA", "BB AA 00", "AA 00 00 F0 00", "1B 0A 09 BB",
                              "AA 00 00 03", "AA 00 00 01 00 00 BB"}) {
        bytes line = unhex(noise);
        line.insert(line.end(), card.begin(), card.end());
        char text[32] = "";
        answer(line);
        EXPECT_EQ(getReaderUid(text), 0) << noise;
        EXPECT_STREQ(text, "0A1B2C3D\n") << noise;
        request();
    }
}

// Each operation sends its frame; a success reply gives 0, a failure status
// its message with the reader's code, an invalid frame (no code) 00.
TEST_F(Wire, OperationsFramesAndFailureMessages)
{
    EXPECT_EQ(ctrReaderRelay(0) + ctrReaderBuzzer(0) + ctrReaderLight(0), 0);
    EXPECT_EQ(request(50), "") << "action 0 sent a frame";

    unsigned char r = 0, l = 0, b = 0, s = 0;
    const struct {
        std::function<int()> op;
        const char *frame, *name;
    } ops[] = {
        {[] { return setReaderInfo(10, 20, 30, 1); }, "AA 00 00 07 90 0A 14 1E 00 01 01 97 BB",
         "Set reader info"},
        {[&] { return getReaderInfo(&r, &l, &b, &s); }, "AA 00 00 01 91 90 BB", "Get reader info"},
        {[] { return ctrReaderBuzzer(1); }, "AA 00 00 01 92 93 BB", "Control reader buzzer"},
        {[] { return ctrReaderRelay(5); }, "AA 00 00 01 93 92 BB", "Control reader relay"},
        {[] { return ctrReaderLight(-1); }, "AA 00 00 01 94 95 BB", "Control reader light"},
        {[] { return ctrReaderDevice(3, 0, 1); }, "AA 00 00 04 97 03 00 01 91 BB",
         "Control reader device"},
        {[] { return ctrReaderDevLight(4); }, "AA 00 00 04 97 04 00 00 97 BB",
         "Control reader device"},
        {[] { return ctrReaderDevBuzzer(2); }, "AA 00 00 04 97 00 02 00 91 BB",
         "Control reader device"},
        {[] { return ctrReaderDevRelay(1); }, "AA 00 00 04 97 00 00 01 92 BB",
         "Control reader device"},
    };
    const std::pair<const char *, const char *> replies[] = {
        {"AA 00 00 07 00 0A 14 1E 00 01 01 07 BB", ""},
        {"AA 00 00 02 01 0B 08 BB", " error: 0B\n"},
        {"AA 00 00 01 00 02 BB", " error: 00\n"},
    };
    for (auto &o : ops)
        for (auto &reply : replies) {
            answer(unhex(reply.first));
            CaptureStdout();
            EXPECT_EQ(o.op(), *reply.second ? -1 : 0) << o.frame;
            EXPECT_EQ(GetCapturedStdout(), *reply.second ? o.name + std::string(reply.second) : "");
            EXPECT_EQ(request(), o.frame);
        }
    EXPECT_EQ(hex({r, l, b, s}), "0A 14 1E 01") << "settings record read";

    // A failure reply without data: its check byte is taken as the code.
    answer(unhex("AA 00 00 01 05 04 BB"));
    CaptureStdout();
    EXPECT_EQ(ctrReaderLight(1), -1);
    request();
    EXPECT_EQ(ctrReaderRelay(1), -1); // no reply at all
    EXPECT_EQ(GetCapturedStdout(), "Control reader light error: 04\n"
                                   "recv data timeout\n"
                                   "Control reader relay error: no answer from the reader\n");
    // The next answered exchange ends the time-outs with one line.
    answer(unhex("AA 00 00 01 00 01 BB"));
    CaptureStdout();
    EXPECT_EQ(ctrReaderLight(1), 0);
    request();
    EXPECT_EQ(GetCapturedStdout(), "recv data timeout: ended, 1 time in all\n");
}

// Only exactly 7 data bytes (4-byte identifier) or 10 (7-byte) give a card
// number; anything else, or a failure status, is no card.
TEST_F(Wire, CardIdentifiers)
{
    const bytes id = unhex("00 00 00 A1 B2 C3 D4 E5 F6 07 EE EE");
    for (size_t n = 0; n <= id.size(); n++) {
        const char *want = n == 7 ? "D4C3B2A1\n" : n == 10 ? "07F6E5D4C3B2A1\n" : "untouched";
        char text[32] = "untouched";
        answer(reply_frame(0x00, bytes(id.begin(), id.begin() + static_cast<long>(n))));
        CaptureStdout();
        EXPECT_EQ(getReaderUid(text), n == 7 || n == 10 ? 0 : -1) << n << " data bytes";
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_STREQ(text, want) << n << " data bytes";
        EXPECT_EQ(request(), "AA 00 00 01 95 94 BB");
    }
    char text[32] = "kept";
    answer(reply_frame(0x01, {0x01}));
    CaptureStdout();
    EXPECT_EQ(getReaderUid(text), -1);
    EXPECT_EQ(GetCapturedStdout() + text, "kept");
}

// Line noise on identifier replies: no reply with one byte changed ever gives
// a card number. Each reply is followed by a "no card" reply, so the exchange
// ends on it instead of after a pause of READER_GAP_MS: that lets every
// single-byte corruption be tried. No byte of the replies but the last is
// 0xBB, so no shortened length finds an end byte in them.
TEST_F(Wire, EverySingleByteCorruptionIsRejected)
{
    const bytes four = reply_frame(0x00, unhex("00 04 00 3D 2C 1B 0A"));
    const bytes seven = reply_frame(0x00, unhex("00 07 00 F7 E6 D5 C4 B3 A2 01"));
    const bytes no_card = reply_frame(0x01, {0x01});
    auto poll_with = [&](bytes line, const char *want) {
        if (!*want)
            line.insert(line.end(), no_card.begin(), no_card.end());
        answer(line);
        char text[32] = "untouched";
        CaptureStdout();
        int r = getReaderUid(text);
        EXPECT_EQ(GetCapturedStdout(), ""); // a reply is always there: no time-out
        EXPECT_EQ(request(), "AA 00 00 01 95 94 BB");
        EXPECT_EQ(queued(), 0) << "reply bytes left over";
        return r == (*want ? 0 : -1) && strcmp(text, *want ? want : "untouched") == 0;
    };
    ASSERT_TRUE(poll_with(four, "0A1B2C3D\n"));
    ASSERT_TRUE(poll_with(seven, "01A2B3C4D5E6F7\n"));
    int tried = 0;
    for (const bytes &reply : {four, seven, reply_frame(0x01, {0x01})})
        for (size_t at = 0; at < reply.size(); at++)
            for (int delta = 1; delta < 256; delta++, tried++) {
                bytes bad = reply;
                bad[at] ^= static_cast<unsigned char>(delta);
                ASSERT_TRUE(poll_with(bad, "")) << hex(bad);
            }
    EXPECT_EQ(tried, (14 + 17 + 8) * 255);
}
} // namespace
