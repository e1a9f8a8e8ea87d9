// Frames of the reader protocol: build, validate, scan.
#include "reader/reader_frame.h"

#include <cstring>

#include "reader/reader_proto.h"

namespace
{

int xor_bytes(const unsigned char *p, int len)
{
    unsigned char x = 0;
    for (int i = 0; i < len; i++)
        x ^= p[i];
    return x;
}

} // namespace

int makecrc(unsigned char *p, int len)
{
    return xor_bytes(p, len);
}

int frame_build(unsigned char *out, unsigned char cmd, const unsigned char *data, int n)
{
    if (n < 0 || n > FRAME_MAX_DATA || (n > 0 && !data))
        return -1;
    out[FRAME_OFF_START] = FRAME_START;
    out[FRAME_OFF_FIXED1] = FRAME_FIXED;
    out[FRAME_OFF_FIXED2] = FRAME_FIXED;
    out[FRAME_OFF_LEN] = static_cast<unsigned char>(n + 1);
    out[FRAME_OFF_CMD] = cmd;
    if (n > 0)
        memcpy(out + FRAME_OFF_DATA, data, static_cast<size_t>(n));
    int check = FRAME_OFF_DATA + n;
    out[check] = static_cast<unsigned char>(xor_bytes(out + FRAME_OFF_FIXED1, check - 1));
    out[check + 1] = FRAME_END;
    return n + FRAME_OVERHEAD;
}

// Only the len bytes received are looked at: a frame whose length byte puts
// its check or end byte beyond them is incomplete.
int frame_parse(const unsigned char *area, int len, unsigned char *code, const unsigned char **data,
                int *n)
{
    if (len <= FRAME_OFF_CMD || area[FRAME_OFF_START] != FRAME_START)
        return -1;
    int l = area[FRAME_OFF_LEN];
    if (l == 0 || l > FRAME_MAX_LEN)
        return -1;
    int check = FRAME_OFF_CMD + l; // offset of the check byte
    if (check + 1 >= len)
        return -1;
    if (area[check] != xor_bytes(area + FRAME_OFF_FIXED1, check - 1))
        return -1;
    if (area[check + 1] != FRAME_END)
        return -1;
    *code = area[FRAME_OFF_CMD];
    *data = area + FRAME_OFF_DATA;
    *n = l - 1;
    return 0;
}

int frame_scan(const unsigned char *buf, int len, int *start, int *flen)
{
    int pending = -1;
    for (int p = 0; p < len; p++) {
        if (buf[p] != FRAME_START)
            continue;
        if (p + FRAME_OFF_LEN >= len) { // length byte not in yet
            if (pending < 0)
                pending = p;
            continue;
        }
        int l = buf[p + FRAME_OFF_LEN];
        if (l == 0 || l > FRAME_MAX_LEN)
            continue;
        int need = l + FRAME_OVERHEAD - 1;
        if (p + need > len) {
            if (pending < 0)
                pending = p;
            continue;
        }
        unsigned char st;
        const unsigned char *d;
        int n;
        if (frame_parse(buf + p, need, &st, &d, &n) == 0) {
            *start = p;
            *flen = need;
            return SCAN_FRAME;
        }
    }
    *start = pending < 0 ? len : pending;
    return pending < 0 ? SCAN_NONE : SCAN_PENDING;
}

bool frame_is_uid(unsigned char status, int n)
{
    return status == READER_STATUS_OK && (n == UID_SHORT_REPLY || n == UID_LONG_REPLY);
}

bool frame_fits(unsigned char cmd, unsigned char status, int n)
{
    if (status != READER_STATUS_OK)
        return true;
    if (cmd == READER_CMD_GET_UID)
        return frame_is_uid(status, n);
    if (cmd == READER_CMD_GET_INFO)
        return n == READER_INFO_LEN;
    return !frame_is_uid(status, n);
}
