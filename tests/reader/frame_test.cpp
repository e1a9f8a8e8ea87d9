// Frames on the wire, byte for byte: building, validating, and the reader
// operations against a module that the test plays on a pseudo-terminal.
#include <cstring>
#include <functional>

#include "reader/optReader.h"
#include "reader/reader_frame.h"
#include "reader/reader_proto.h"
#include "tests/reader/reader_util.h"

namespace
{

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

TEST(Frame, BuiltAndValidated)
{
    EXPECT_EQ(hex(reply_frame(0x97, {0x02, 0x00, 0x01})), "AA 00 00 04 97 02 00 01 90 BB");
    unsigned char out[FRAME_AREA + 8], data[FRAME_MAX_DATA + 1] = {};
    EXPECT_EQ(frame_build(out, 0x90, data, FRAME_MAX_DATA) + frame_build(out, 0x90, nullptr, 0),
              256 + 7);
    EXPECT_EQ(frame_build(out, 0x90, data, FRAME_MAX_DATA + 1) + frame_build(out, 0, nullptr, 3) +
                  frame_build(out, 0x90, nullptr, -1),
              -3);
    EXPECT_EQ(makecrc(data, 0) + makecrc(data, -3), 0);

    const std::pair<bytes, int> cases[] = {
        // Accepted, with their status byte.
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
        SCOPED_TRACE(hex(c.first));
        ASSERT_EQ(frame_parse(area, static_cast<int>(c.first.size()), &code, &d, &n),
                  c.second < 0 ? -1 : 0);
        EXPECT_EQ(code, c.second < 0 ? 0x77 : c.second) << "outputs written on failure";
        EXPECT_EQ(n, c.second < 0 ? -5 : c.first[3] - 1);
        EXPECT_EQ(d, c.second < 0 ? nullptr : area + 5);
    }
}

// The reply is queued before the operation runs (the operation writes its
// request without flushing input), then the request it wrote is read back.
using Wire = OnPty;

TEST_F(Wire, FailedExchanges)
{
    unsigned char out[FRAME_AREA];
    memset(out, 0xEE, sizeof out);
    int outlen = 1234;
    // Wrong check byte and a trailing byte: nothing printed, outputs left
    // alone, and the whole burst consumed.
    feed(unhex("AA 00 00 02 00 07 00 BB 55"));
    CaptureStdout();
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 500), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(outlen == 1234 && out[0] == 0xEE) << "outputs written";
    EXPECT_EQ(queued(), 0) << "bytes of the burst left for the next exchange";
    request();

    CaptureStdout();
    double t0 = now_ms();
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 60), -1);
    EXPECT_GE(now_ms() - t0, 59);
    EXPECT_EQ(GetCapturedStdout(), "recv data timeout\n");
    request();

    bytes big(FRAME_MAX_DATA + 1, 0);
    EXPECT_EQ(optFunction(0x90, big.data(), static_cast<int>(big.size()), out, &outlen, 10), -1);
    EXPECT_EQ(request(50), "") << "oversized request sent";
}

// Each operation sends its frame; a success reply gives 0, a failure status
// its message with the reader's code, an invalid frame (no code) 00, a
// failure without data its check byte as the code.
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
        {"AA 00 00 01 05 04 BB", " error: 04\n"},
    };
    for (auto &o : ops)
        for (auto &reply : replies) {
            feed(unhex(reply.first));
            CaptureStdout();
            EXPECT_EQ(o.op(), *reply.second ? -1 : 0) << o.frame;
            EXPECT_EQ(GetCapturedStdout(), *reply.second ? o.name + std::string(reply.second) : "");
            EXPECT_EQ(request(), o.frame);
        }
    EXPECT_EQ(hex({r, l, b, s}), "0A 14 1E 01") << "settings record read";
    // A settings reply of fewer than six data bytes is refused.
    for (int n : {0, 5}) {
        feed(reply_frame(0x00, bytes(static_cast<size_t>(n), 0x44)));
        EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), -1) << n << " data bytes";
        EXPECT_EQ(hex({r, l, b, s}), "0A 14 1E 01") << "targets written";
        request();
    }
}

// Only exactly 7 data bytes (4-byte identifier) or at least 10 (7-byte) give
// a card number. Then line noise: no identifier reply with one byte changed
// ever does. Each noisy reply is padded with zeros to the whole 256-byte area,
// so the exchange ends when the area is full, not after the silence; no byte
// of these replies but the last is 0xBB.
TEST_F(Wire, CardIdentifiersAndNoise)
{
    const bytes id = unhex("00 00 00 A1 B2 C3 D4 E5 F6 07 EE EE");
    for (size_t n = 0; n <= id.size(); n++) {
        char text[32] = "untouched";
        feed(reply_frame(0x00, bytes(id.begin(), id.begin() + static_cast<long>(n))));
        EXPECT_EQ(getReaderUid(text), n == 7 || n >= 10 ? 0 : -1) << n << " data bytes";
        EXPECT_STREQ(text, n == 7 ? "D4C3B2A1\n" : n >= 10 ? "07F6E5D4C3B2A1\n" : "untouched");
        EXPECT_EQ(request(), "AA 00 00 01 95 94 BB");
    }
    const bytes good[] = {reply_frame(0x00, unhex("00 04 00 3D 2C 1B 0A")),
                          reply_frame(0x00, unhex("00 07 00 F7 E6 D5 C4 B3 A2 01")),
                          reply_frame(0x01, {0x01})};
    int tried = 0;
    for (const bytes &reply : good)
        for (size_t at = 0; at < reply.size(); at++)
            for (int delta = 1; delta < 256; delta++, tried++) {
                bytes line = reply;
                line[at] ^= static_cast<unsigned char>(delta);
                line.resize(FRAME_AREA, 0x00);
                feed(line);
                char text[32] = "untouched";
                CaptureStdout();
                ASSERT_EQ(getReaderUid(text), -1) << hex(line);
                ASSERT_EQ(GetCapturedStdout(), "") << hex(line); // never a time-out
                ASSERT_STREQ(text, "untouched");
                ASSERT_EQ(request(), "AA 00 00 01 95 94 BB");
                ASSERT_EQ(queued(), 0) << "reply bytes left over";
            }
    EXPECT_EQ(tried, (14 + 17 + 8) * 255);
}

} // namespace
