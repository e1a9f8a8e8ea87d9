// Frames of the reader protocol and one request/reply exchange on fd1.
#include "reader/reader_frame.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "common/log.h"
#include "common/mono_clock.h"
#include "common/wait_readable.h"
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

const int64_t MS = 1000000;

// Replies owed: requests whose reply has not come (yet). The module answers
// in order, so each valid frame that comes pays off the oldest; a reply owed
// for longer than OWED_KEEP_MS (or pushed out of the list) is not coming.
enum { OWED_MAX = 4, OWED_KEEP_MS = 3000 };
struct owed_reply {
    unsigned char cmd;
    int64_t since;
} owed[OWED_MAX];
int nowed;

// Card replies that came late: read cards, handed to the next getReaderUid.
enum { HELD_MAX = 4 };
struct held_card {
    unsigned char data[FRAME_AREA];
    int n;
} held[HELD_MAX];
int nheld;

int64_t last_end; // when the last exchange ended, 0 before the first

void owe(unsigned char cmd)
{
    if (nowed == OWED_MAX)
        memmove(owed, owed + 1, sizeof owed[0] * --nowed);
    owed[nowed++] = {cmd, mono_ns()};
}

void forget_stale(int64_t now)
{
    int keep = 0;
    while (keep < nowed && now - owed[keep].since > OWED_KEEP_MS * MS)
        keep++;
    nowed -= keep;
    memmove(owed, owed + keep, sizeof owed[0] * static_cast<size_t>(nowed));
}

// Pays off the oldest owed replies up to and including index i.
void pay(int i)
{
    if (nowed == 0)
        return;
    nowed -= i + 1;
    memmove(owed, owed + i + 1, sizeof owed[0] * static_cast<size_t>(nowed));
}

int owed_poll(void)
{
    for (int i = 0; i < nowed; i++)
        if (owed[i].cmd == READER_CMD_GET_UID)
            return i;
    return -1;
}

void hold(const unsigned char *data, int n)
{
    if (nheld == HELD_MAX)
        memmove(held, held + 1, sizeof held[0] * --nheld);
    memcpy(held[nheld].data, data, static_cast<size_t>(n));
    held[nheld++].n = n;
}

// wait_readable for ns nanoseconds, rounded up to whole milliseconds.
int wait_input(int fd, int64_t ns)
{
    return wait_readable(fd, static_cast<long>((ns + MS - 1) / MS));
}

// Bytes received and not yet judged: anything before a start byte is
// skipped, and a start byte whose frame proves invalid is skipped too, so a
// reply behind line noise or behind the tail of a cut reply is still found.
struct rx_area {
    unsigned char buf[2 * FRAME_AREA];
    int len;
    int junk; // bytes skipped since the last valid frame
};

enum { SCAN_NONE, SCAN_PENDING, SCAN_FRAME };

// The earliest valid frame: moved to the front of r (SCAN_FRAME, length in
// *flen). Otherwise what cannot start a frame is dropped: SCAN_PENDING when
// an incomplete frame now stands at the front, SCAN_NONE when nothing is left.
int scan(rx_area *r, int *flen)
{
    int pending = -1;
    for (int p = 0; p < r->len; p++) {
        if (r->buf[p] != FRAME_START)
            continue;
        int l = p + FRAME_OFF_LEN < r->len ? r->buf[p + FRAME_OFF_LEN] : 1;
        if (l == 0 || l > FRAME_MAX_LEN)
            continue;
        int need = l + FRAME_OVERHEAD - 1;
        if (p + need > r->len || p + FRAME_OFF_LEN >= r->len) {
            if (pending < 0)
                pending = p;
            continue;
        }
        unsigned char st;
        const unsigned char *d;
        int n;
        if (frame_parse(r->buf + p, need, &st, &d, &n) == 0) {
            r->len -= p;
            memmove(r->buf, r->buf + p, static_cast<size_t>(r->len));
            *flen = need;
            return SCAN_FRAME;
        }
    }
    int drop = pending < 0 ? r->len : pending;
    r->junk += drop;
    r->len -= drop;
    memmove(r->buf, r->buf + drop, static_cast<size_t>(r->len));
    return pending < 0 ? SCAN_NONE : SCAN_PENDING;
}

// One exchange in progress.
struct exchange {
    unsigned char cmd;
    bool fresh; // frames now come after the request
    bool current;
    unsigned char st;
    unsigned char data[FRAME_AREA];
    int n;
};

// Judges one valid frame. A frame that came before the request, or a card
// identifier while a poll's reply is owed and this is no poll, is a late
// reply: a card identifier is kept as a read card, anything else goes.
// Otherwise the frame answers the request; a frame before it in the same
// exchange was a late reply after all.
void take_frame(exchange *x, const unsigned char *f, int flen)
{
    unsigned char st;
    const unsigned char *d;
    int n;
    frame_parse(f, flen, &st, &d, &n);
    bool card = frame_is_uid(st, n);
    int poll = card ? owed_poll() : -1;
    if (!x->fresh || (poll >= 0 && x->cmd != READER_CMD_GET_UID)) {
        if (poll >= 0)
            hold(d, n);
        pay(poll >= 0 ? poll : 0);
        return;
    }
    if (x->current && frame_is_uid(x->st, x->n))
        hold(x->data, x->n);
    x->current = true;
    x->st = st;
    x->n = n;
    memcpy(x->data, d, static_cast<size_t>(n) + 1); // with the check byte: see optFunction
    pay(poll >= 0 ? poll : 0);
}

// Takes every frame out of r. Returns the last scan's result (SCAN_PENDING:
// a frame is incomplete).
int take_frames(exchange *x, rx_area *r)
{
    int flen, s;
    while ((s = scan(r, &flen)) == SCAN_FRAME) {
        take_frame(x, r->buf, flen);
        r->len -= flen;
        memmove(r->buf, r->buf + flen, static_cast<size_t>(r->len));
        r->junk = 0;
    }
    return s;
}

// Appends what can be read now. Returns the byte count, or -1 when the
// line gives nothing although it was readable (hung up, failed).
int take_input(rx_area *r)
{
    ssize_t n;
    do
        n = read(fd1, r->buf + r->len, sizeof r->buf - static_cast<size_t>(r->len));
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return -1;
    r->len += static_cast<int>(n);
    return static_cast<int>(n);
}

// Before a request: what is queued is late, and so is a frame that is
// under way (it is waited for while its bytes keep coming).
void take_queued(exchange *x)
{
    rx_area r;
    r.len = r.junk = 0;
    int pending = SCAN_NONE;
    for (int reads = 0; reads < 8; reads++) {
        if (wait_input(fd1, pending == SCAN_PENDING ? READER_GAP_MS * MS : 0) <= 0 ||
            take_input(&r) < 0)
            return;
        pending = take_frames(x, &r);
    }
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

bool frame_is_uid(unsigned char status, int n)
{
    return status == READER_STATUS_OK && (n == UID_SHORT_REPLY || n >= UID_LONG_REPLY);
}

long frame_quiet_ms(void)
{
    return last_end ? static_cast<long>((mono_ns() - last_end) / MS) : long{READER_SILENCE_MS};
}

int frame_take_card(unsigned char *out, int *outlen)
{
    if (nheld == 0)
        return -1;
    memcpy(out, held[0].data, static_cast<size_t>(held[0].n));
    *outlen = held[0].n;
    memmove(held, held + 1, sizeof held[0] * --nheld);
    return 0;
}

// The request's reply is the last valid frame that comes after it. Once a
// frame is in, the exchange ends at once, or, while an earlier reply is still
// owed, when no byte follows within READER_CATCH_MS. An incomplete frame may
// pause at most READER_GAP_MS; so may bytes that start no frame.
int optFunction(unsigned char cmd, unsigned char *data, int n, unsigned char *out, int *outlen,
                long timeout)
{
    unsigned char request[FRAME_AREA];
    memset(request, 0, sizeof request);
    int reqlen = frame_build(request, cmd, data, n);
    if (reqlen < 0)
        return -1;

    exchange x;
    x.cmd = cmd;
    x.fresh = false;
    x.current = false;
    forget_stale(mono_ns());
    take_queued(&x);
    x.fresh = true;

    ssize_t w = write(fd1, request, static_cast<size_t>(reqlen));
    (void)w; // a lost request shows up as a missing or invalid reply
    owe(cmd);
    int64_t deadline = mono_ns() + timeout * MS;

    rx_area r;
    r.len = r.junk = 0;
    int state = SCAN_NONE;
    bool timed_out = false;
    for (;;) {
        int64_t wait;
        if (state == SCAN_PENDING || (!x.current && r.junk > 0))
            wait = READER_GAP_MS * MS;
        else if (x.current)
            wait = nowed > 0 ? READER_CATCH_MS * MS : 0;
        else
            wait = deadline - mono_ns();
        if (r.junk >= FRAME_AREA && state != SCAN_PENDING)
            break; // a reply's worth of bytes, and none of them a frame
        int ready = wait > 0 ? wait_input(fd1, wait) : 0;
        if (ready < 0) {
            perror("select error\n");
            break;
        }
        if (ready == 0) {
            timed_out = !x.current && state == SCAN_NONE && r.junk == 0;
            break;
        }
        if (take_input(&r) < 0)
            break; // hung up: no time-out, no reply
        state = take_frames(&x, &r);
    }
    last_end = mono_ns();

    LOG_FLOOD(timed_out, LOG_WARNING, "recv data timeout");
    if (!x.current)
        return -1;
    if (x.st == READER_STATUS_OK) {
        if (x.n > 0)
            memcpy(out, x.data, static_cast<size_t>(x.n));
        *outlen = x.n;
        return 0;
    }
    // The error code is the byte after the status: with no data bytes that
    // is the reply's own check byte.
    out[0] = x.data[0];
    *outlen = 1;
    return -2;
}
