// Line noise on identifier replies, on the real exchange over a
// pseudo-terminal: no reply with one byte changed ever gives a card number.
//
// Each corrupted reply is padded with zeros to the full 256-byte reply area
// (as if the line carried nothing more), so the exchange ends as soon as the
// area is full instead of after 10 ms of silence; that is what lets every
// single-byte corruption be tried. No byte of the replies below (other than
// the last) is 0xBB, so no shortened length can find an end byte in them.
#include <cstring>

#include "reader/optReader.h"
#include "reader/reader_proto.h"
#include "tests/reader/reader_util.h"

namespace
{

const struct {
    const char *text; // as the controller prints it
    bytes reply;      // the module's identifier reply
} cards[] = {
    {"0A1B2C3D\n", reply_frame(0x00, {0x00, 0x04, 0x00, 0x3D, 0x2C, 0x1B, 0x0A})},
    {"01A2B3C4D5E6F7\n",
     reply_frame(0x00, {0x00, 0x07, 0x00, 0xF7, 0xE6, 0xD5, 0xC4, 0xB3, 0xA2, 0x01})},
};

class Noise : public OnPty
{
  protected:
    char text[32];

    // One poll answered with the given bytes. Returns getReaderUid's result;
    // the text is in text ("untouched" when not written).
    int poll_with(bytes line)
    {
        line.resize(FRAME_AREA, 0x00);
        answer(line);
        strcpy(text, "untouched");
        CaptureStdout();
        int r = getReaderUid(text);
        // "recv data timeout" must never appear: a reply is always there.
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(request(), "AA 00 00 01 95 94 BB");
        EXPECT_EQ(queued(), 0) << "reply bytes left over";
        return r;
    }
};

TEST_F(Noise, EverySingleByteCorruptionIsRejected)
{
    for (auto &c : cards) {
        ASSERT_EQ(poll_with(c.reply), 0);
        EXPECT_STREQ(text, c.text);
    }
    int tried = 0;
    for (const bytes &reply : {cards[0].reply, cards[1].reply, reply_frame(0x01, {0x01})})
        for (size_t at = 0; at < reply.size(); at++)
            for (int delta = 1; delta < 256; delta++, tried++) {
                bytes bad = reply;
                bad[at] ^= static_cast<unsigned char>(delta);
                ASSERT_EQ(poll_with(bad), -1) << hex(bad);
                ASSERT_STREQ(text, "untouched");
            }
    EXPECT_EQ(tried, (14 + 17 + 8) * 255);
}

} // namespace
