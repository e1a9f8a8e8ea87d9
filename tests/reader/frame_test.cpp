// Frames on the wire, byte for byte: building, validating, and the reader
// operations against a module that the test plays on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>

#include "core/slot.h"
#include "reader/optReader.h"
#include "reader/reader_frame.h"
#include "reader/reader_proto.h"
#include "tests/reader/reader_test_util.h"

namespace
{

bytes built(unsigned char cmd, const bytes &data)
{
    unsigned char out[FRAME_AREA];
    int n =
        frame_build(out, cmd, data.empty() ? nullptr : data.data(), static_cast<int>(data.size()));
    return n < 0 ? bytes() : bytes(out, out + n);
}

// Parses a frame given as received into a cleared 256-byte area.
int parsed(const bytes &frame, unsigned char *code, bytes *data)
{
    unsigned char area[FRAME_AREA] = {};
    if (!frame.empty())
        memcpy(area, frame.data(), frame.size());
    const unsigned char *d;
    int n;
    int r = frame_parse(area, static_cast<int>(frame.size()), code, &d, &n);
    if (r == 0)
        data->assign(d, d + n);
    return r;
}

TEST(Frame, RequestsGoOutByteForByte)
{
    unsigned char b[] = {0x00, 0x00, 0x04, 0x97, 0x02, 0x00, 0x01};
    EXPECT_EQ(makecrc(b, 7), 0x90);
    EXPECT_EQ(makecrc(b, 0), 0);
    EXPECT_EQ(makecrc(b, -3), 0);

    EXPECT_EQ(hex(built(0x95, {})), "AA 00 00 01 95 94 BB");
    EXPECT_EQ(hex(built(0x97, {0x02, 0x00, 0x01})), "AA 00 00 04 97 02 00 01 90 BB");
    EXPECT_EQ(hex(built(0x90, {0x0A, 0x14, 0x1E, 0x00, 0x01, 0x01})),
              "AA 00 00 07 90 0A 14 1E 00 01 01 97 BB");

    bytes max(FRAME_MAX_DATA, 0x11);
    bytes f = built(0x90, max);
    ASSERT_EQ(f.size(), 256u);
    EXPECT_EQ(f[3], 250);
    EXPECT_EQ(f[255], 0xBB);

    unsigned char out[FRAME_AREA + 8];
    bytes over(FRAME_MAX_DATA + 1, 0);
    EXPECT_EQ(frame_build(out, 0x90, over.data(), FRAME_MAX_DATA + 1), -1);
    EXPECT_EQ(frame_build(out, 0x90, nullptr, 3), -1);
    EXPECT_EQ(frame_build(out, 0x90, nullptr, -1), -1);
}

TEST(Frame, WellFormedRepliesAreAccepted)
{
    unsigned char code;
    bytes data;
    ASSERT_EQ(parsed({0xAA, 0x00, 0x00, 0x01, 0x00, 0x01, 0xBB}, &code, &data), 0);
    EXPECT_EQ(code, 0x00);
    EXPECT_TRUE(data.empty());

    ASSERT_EQ(parsed({0xAA, 0x00, 0x00, 0x07, 0x00, 0x0A, 0x14, 0x1E, 0x00, 0x01, 0x01, 0x07, 0xBB},
                     &code, &data),
              0);
    EXPECT_EQ(hex(data), "0A 14 1E 00 01 01");

    // The fixed bytes of a reply are not examined, only checked.
    ASSERT_EQ(parsed({0xAA, 0x12, 0x34, 0x01, 0x00, 0x27, 0xBB}, &code, &data), 0);

    // A failure reply without data: its check byte stands where the error
    // code would be.
    ASSERT_EQ(parsed({0xAA, 0x00, 0x00, 0x01, 0x05, 0x04, 0xBB}, &code, &data), 0);
    EXPECT_EQ(code, 0x05);
    EXPECT_TRUE(data.empty());

    // Bytes after the end byte are not part of the frame.
    ASSERT_EQ(parsed({0xAA, 0x00, 0x00, 0x01, 0x00, 0x01, 0xBB, 0xAA, 0x99}, &code, &data), 0);

    // The largest frame: length byte 250 fills the 256-byte area exactly.
    bytes big = reply_frame(0x00, bytes(249, 0x42));
    ASSERT_EQ(big.size(), 256u);
    ASSERT_EQ(parsed(big, &code, &data), 0);
    EXPECT_EQ(data.size(), 249u);
}

TEST(Frame, MalformedRepliesAreRejected)
{
    unsigned char code = 0x77;
    bytes data = {0x99};
    const bytes good = {0xAA, 0x00, 0x00, 0x01, 0x00, 0x01, 0xBB};
    struct {
        const char *what;
        bytes frame;
    } cases[] = {
        {"stray byte ahead", {0x00, 0xAA, 0x00, 0x00, 0x01, 0x00, 0x01, 0xBB}},
        {"wrong start", {0xAB, 0x00, 0x00, 0x01, 0x00, 0x01, 0xBB}},
        {"wrong check", {0xAA, 0x00, 0x00, 0x01, 0x00, 0x00, 0xBB}},
        {"no end byte", {0xAA, 0x00, 0x00, 0x01, 0x00, 0x01}},
        {"wrong end byte", {0xAA, 0x00, 0x00, 0x01, 0x00, 0x01, 0xBC}},
        {"cut short", {0xAA, 0x00, 0x00, 0x07, 0x00, 0x0A, 0x14}},
        {"length 0", {0xAA, 0x00, 0x00, 0x00, 0x00, 0xBB}},
        {"header only", {0xAA, 0x00, 0x00}},
        {"nothing", {}},
    };
    for (auto &c : cases)
        EXPECT_EQ(parsed(c.frame, &code, &data), -1) << c.what << ": " << hex(c.frame);

    // Length 251 and above would put the check and end byte beyond the
    // reply area; such a frame is refused even when the bytes are there.
    for (int l : {251, 255}) {
        bytes f = reply_frame(0x00, bytes(static_cast<size_t>(l - 1), 0x00));
        unsigned char area[512] = {};
        memcpy(area, f.data(), f.size());
        const unsigned char *d;
        int n;
        EXPECT_EQ(frame_parse(area, static_cast<int>(f.size()), &code, &d, &n), -1) << l;
    }
    EXPECT_EQ(code, 0x77) << "outputs written on failure";
    EXPECT_EQ(parsed(good, &code, &data), 0);
}

// The reader module played by the test: each reply is queued before the
// operation runs (the operation writes its request without flushing input),
// then the request it wrote is read back.
class Wire : public ::testing::Test
{
  protected:
    TestPty pty;
    int saved_fd1 = 0;

    void SetUp() override
    {
        ASSERT_TRUE(pty.open());
        saved_fd1 = fd1;
        fd1 = pty.slave;
    }
    void TearDown() override { fd1 = saved_fd1; }

    void reply(const bytes &b) { pty.feed(b); }
    std::string request() { return hex(pty.request()); }
};

TEST_F(Wire, InvalidReplyLeavesOutputsAloneAndConsumesTheBurst)
{
    unsigned char out[FRAME_AREA];
    memset(out, 0xEE, sizeof out);
    int outlen = 1234;
    bytes bad = {0xAA, 0x00, 0x00, 0x02, 0x00, 0x07, 0x00, 0xBB}; // wrong check byte
    bad.push_back(0x55);                                          // and a trailing byte
    reply(bad);
    Capture out1(1);
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 500), -1);
    EXPECT_EQ(out1.text(), "");
    EXPECT_EQ(outlen, 1234);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(queued(pty.slave), 0) << "bytes of the burst left for the next exchange";
}

TEST_F(Wire, NoReplyTimesOut)
{
    unsigned char out[FRAME_AREA];
    int outlen = 0;
    Capture so(1);
    double t0 = now_ms();
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 60), -1);
    double took = now_ms() - t0;
    EXPECT_EQ(so.text(), "recv data timeout\n");
    EXPECT_GE(took, 59);
    EXPECT_LT(took, 5000);
}

TEST_F(Wire, OversizedRequestIsNotSent)
{
    bytes big(FRAME_MAX_DATA + 1, 0);
    unsigned char out[FRAME_AREA];
    int outlen = 0;
    EXPECT_EQ(optFunction(0x90, big.data(), static_cast<int>(big.size()), out, &outlen, 10), -1);
    EXPECT_EQ(hex(pty.drain(50)), "");
}

TEST(WireClosed, BadDescriptorFailsTheWait)
{
    int saved = fd1;
    fd1 = -1;
    unsigned char out[FRAME_AREA];
    int outlen = 0;
    Capture se(2);
    EXPECT_EQ(optFunction(0x95, nullptr, 0, out, &outlen, 10), -1);
    EXPECT_EQ(se.text(), "select error\n: Bad file descriptor\n");
    fd1 = saved;
}

// Reader operations, byte for byte.
class Ops : public Wire
{
};

TEST_F(Ops, SettingsRecord)
{
    reply(reply_frame(0x00, {}));
    EXPECT_EQ(setReaderInfo(10, 20, 30, 1), 0);
    EXPECT_EQ(request(), "AA 00 00 07 90 0A 14 1E 00 01 01 97 BB");

    reply({0xAA, 0x00, 0x00, 0x07, 0x00, 0x0A, 0x14, 0x1E, 0x00, 0x01, 0x01, 0x07, 0xBB});
    unsigned char r = 0, l = 0, b = 0, s = 0;
    EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), 0);
    EXPECT_EQ(request(), "AA 00 00 01 91 90 BB");
    EXPECT_EQ(r, 10);
    EXPECT_EQ(l, 20);
    EXPECT_EQ(b, 30);
    EXPECT_EQ(s, 1);
}

TEST_F(Ops, ShortSettingsReplyIsRefused)
{
    for (int n : {0, 3, 5}) {
        reply(reply_frame(0x00, bytes(static_cast<size_t>(n), 0x44)));
        unsigned char r = 1, l = 2, b = 3, s = 4;
        Capture so(1);
        EXPECT_EQ(getReaderInfo(&r, &l, &b, &s), -1) << n << " data bytes";
        EXPECT_EQ(so.text(), "Get reader info error: 00\n");
        EXPECT_EQ(r + l + b + s, 10) << "targets written";
        request();
    }
}

TEST_F(Ops, OutputCommands)
{
    EXPECT_EQ(ctrReaderRelay(0), 0);
    EXPECT_EQ(ctrReaderBuzzer(0), 0);
    EXPECT_EQ(ctrReaderLight(0), 0);
    EXPECT_EQ(hex(pty.drain(50)), "") << "action 0 sent a frame";

    struct {
        int (*op)(int);
        const char *frame;
    } ops[] = {
        {ctrReaderBuzzer, "AA 00 00 01 92 93 BB"},
        {ctrReaderRelay, "AA 00 00 01 93 92 BB"},
        {ctrReaderLight, "AA 00 00 01 94 95 BB"},
    };
    for (auto &o : ops)
        for (int action : {1, 5, -1}) {
            reply(reply_frame(0x00, {}));
            EXPECT_EQ(o.op(action), 0);
            EXPECT_EQ(request(), o.frame) << "action " << action;
        }

    reply(reply_frame(0x00, {}));
    EXPECT_EQ(ctrReaderDevice(3, 0, 1), 0);
    EXPECT_EQ(request(), "AA 00 00 04 97 03 00 01 91 BB");
    reply(reply_frame(0x00, {}));
    EXPECT_EQ(ctrReaderDevLight(4), 0);
    EXPECT_EQ(request(), "AA 00 00 04 97 04 00 00 97 BB");
    reply(reply_frame(0x00, {}));
    EXPECT_EQ(ctrReaderDevBuzzer(2), 0);
    EXPECT_EQ(request(), "AA 00 00 04 97 00 02 00 91 BB");
    reply(reply_frame(0x00, {}));
    EXPECT_EQ(ctrReaderDevRelay(1), 0);
    EXPECT_EQ(request(), "AA 00 00 04 97 00 00 01 92 BB");
}

TEST_F(Ops, FailureMessagesShowTheReaderErrorCode)
{
    struct {
        const char *message;
        int (*op)();
    } ops[] = {
        {"Set reader info error: ", [] { return setReaderInfo(1, 2, 3, 4); }},
        {"Get reader info error: ",
         [] {
             unsigned char x;
             return getReaderInfo(&x, &x, &x, &x);
         }},
        {"Control reader buzzer error: ", [] { return ctrReaderBuzzer(1); }},
        {"Control reader relay error: ", [] { return ctrReaderRelay(1); }},
        {"Control reader light error: ", [] { return ctrReaderLight(1); }},
        {"Control reader device error: ", [] { return ctrReaderDevice(1, 2, 3); }},
        {"Control reader device error: ", [] { return ctrReaderDevLight(1); }},
    };
    for (auto &o : ops) {
        reply(reply_frame(0x01, {0x0B}));
        Capture so(1);
        EXPECT_EQ(o.op(), -1);
        EXPECT_EQ(so.text(), std::string(o.message) + "0B\n");
        request();

        // An invalid frame carries no code: 00 is shown.
        reply({0xAA, 0x00, 0x00, 0x01, 0x00, 0x02, 0xBB});
        Capture so2(1);
        EXPECT_EQ(o.op(), -1);
        EXPECT_EQ(so2.text(), std::string(o.message) + "00\n");
        request();
    }

    // A failure reply without data: its check byte is taken as the code.
    reply({0xAA, 0x00, 0x00, 0x01, 0x05, 0x04, 0xBB});
    Capture so(1);
    EXPECT_EQ(ctrReaderLight(1), -1);
    EXPECT_EQ(so.text(), "Control reader light error: 04\n");
}

TEST_F(Ops, TimeoutMessage)
{
    Capture so(1);
    EXPECT_EQ(ctrReaderRelay(1), -1);
    EXPECT_EQ(so.text(), "recv data timeout\nControl reader relay error: 00\n");
}

TEST_F(Ops, CardIdentifiers)
{
    char text[32];
    reply({0xAA, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x1B, 0x2C, 0x3D, 0x08, 0xBB});
    EXPECT_EQ(getReaderUid(text), 0);
    EXPECT_STREQ(text, "3D2C1B0A\n");
    EXPECT_EQ(request(), "AA 00 00 01 95 94 BB");

    reply({0xAA, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07,
           0x1B, 0xBB});
    EXPECT_EQ(getReaderUid(text), 0);
    EXPECT_STREQ(text, "07F6E5D4C3B2A1\n");
    request();

    // More than ten data bytes: the seven identifier bytes are still 3..9.
    reply(reply_frame(0x00, {0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xEE, 0xEE}));
    EXPECT_EQ(getReaderUid(text), 0);
    EXPECT_STREQ(text, "07060504030201\n");
    request();
}

TEST_F(Ops, ShortOrFailedIdentifierRepliesGiveNoCard)
{
    const bytes full = {0x00, 0x00, 0x00, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07};
    for (size_t n : {0, 1, 3, 4, 6, 8, 9}) {
        char text[32];
        memset(text, 'x', sizeof text);
        reply(reply_frame(0x00, bytes(full.begin(), full.begin() + static_cast<long>(n))));
        Capture so(1);
        EXPECT_EQ(getReaderUid(text), -1) << n << " data bytes";
        EXPECT_EQ(so.text(), "");
        EXPECT_EQ(text[0], 'x') << "text written for " << n << " data bytes";
        request();
    }
    char text[32] = "kept";
    reply(reply_frame(0x01, {0x01}));
    Capture so(1);
    EXPECT_EQ(getReaderUid(text), -1);
    EXPECT_EQ(so.text(), "");
    EXPECT_STREQ(text, "kept");
    request();
}

} // namespace
