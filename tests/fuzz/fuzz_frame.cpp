// Reply frame check and card number text: any bytes in the reply area.
#include "reader/optReader.h"
#include "reader/reader_frame.h"
#include "reader/reader_proto.h"
#include "tests/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    unsigned char area[FRAME_AREA] = {}, code;
    int len = size < sizeof area ? static_cast<int>(size) : FRAME_AREA, n;
    memcpy(area, in, static_cast<size_t>(len));
    const unsigned char *data;
    if (frame_parse(area, len, &code, &data, &n) != 0)
        return 0;
    // An accepted frame lies within the bytes received and is the frame built
    // from what it says, but for the fixed bytes (unchecked, in the check byte).
    assert(n >= 0 && n + FRAME_OVERHEAD <= len);
    unsigned char built[FRAME_AREA];
    assert(frame_build(built, code, data, n) == n + FRAME_OVERHEAD);
    built[FRAME_OFF_DATA + n] ^= area[FRAME_OFF_FIXED1] ^ area[FRAME_OFF_FIXED2];
    memcpy(built + FRAME_OFF_FIXED1, area + FRAME_OFF_FIXED1, 2);
    assert(memcmp(built, area, static_cast<size_t>(n + FRAME_OVERHEAD)) == 0);
    char text[UID_TEXT_MAX + 8];
    memset(text, '#', sizeof text);
    if (uid_reply_text(text, data, n) != 0) {
        assert(text[0] == '#');
        return 0;
    }
    // Upper-case hex digits, 8 only for a 7-byte reply, then a line feed; the
    // identifier's last byte comes first.
    size_t digits = strlen(text) - 1;
    assert((digits == 8 || digits == 14) && digits + 2 <= UID_TEXT_MAX && text[digits] == '\n');
    assert(strspn(text, "0123456789ABCDEF") == digits && (digits == 8) == (n == UID_SHORT_REPLY));
    char first[3] = {text[0], text[1], '\0'};
    assert(strtoul(first, nullptr, 16) == data[UID_DATA_OFFSET + digits / 2 - 1]);
    return 0;
}
