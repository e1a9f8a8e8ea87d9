// Frames of the reader protocol and one request/reply exchange on fd1.
#include "reader/reader_frame.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "reader/reader_proto.h"
#include "reader/serial_port.h"

int fd1 = -1;

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
// its check or end byte beyond them is incomplete. In a cleared reply area
// this is the same as finding 0x00 where the end byte should be.
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

// The reply is tied to the request by time alone: its first byte must come
// within timeout ms, and it ends at READER_SILENCE_MS of silence (or a full
// area). Whatever arrives later stays queued for the next exchange.
int optFunction(unsigned char cmd, unsigned char *data, int n, unsigned char *out, int *outlen,
                long timeout)
{
    unsigned char request[FRAME_AREA];
    unsigned char reply[FRAME_AREA];
    memset(request, 0, sizeof request);
    memset(reply, 0, sizeof reply);

    int reqlen = frame_build(request, cmd, data, n);
    if (reqlen < 0)
        return -1;
    ssize_t w = write(fd1, request, static_cast<size_t>(reqlen));
    (void)w; // a lost request shows up as a missing or invalid reply

    // First-byte wait: the caller's time-out.
    int got = tread(fd1, reply, FRAME_AREA, timeout);
    if (got < 0)
        return -1;
    if (got == 0) {
        puts("recv data timeout");
        return -1;
    }
    // Then the rest of the burst, until the line falls silent.
    if (got < FRAME_AREA)
        got += tread2(fd1, reply + got, static_cast<unsigned int>(FRAME_AREA - got),
                      READER_SILENCE_MS);

    unsigned char st;
    const unsigned char *rdata;
    int rn;
    if (frame_parse(reply, got, &st, &rdata, &rn) != 0)
        return -1;
    if (st == READER_STATUS_OK) {
        if (rn > 0)
            memcpy(out, rdata, static_cast<size_t>(rn));
        *outlen = rn;
        return 0;
    }
    // The error code is the byte after the status: with no data bytes that
    // is the reply's own check byte.
    out[0] = rdata[0];
    *outlen = 1;
    return -2;
}
