// One request/reply exchange on fd1. The module answers in order, one reply a
// request, and its replies carry no copy of the command: a reply is told from
// a late one by the replies owed, by its shape and by its time.
#include "reader/reader_exchange.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "common/log.h"
#include "common/mono_clock.h"
#include "common/wait_readable.h"
#include "reader/reader_frame.h"
#include "reader/reader_link.h"
#include "reader/reader_proto.h"

namespace
{

const int64_t MS = 1000000;

// A reply owed for longer than OWED_KEEP_MS is not coming; so is the oldest
// when OWED_MAX are owed.
enum { OWED_MAX = 8, OWED_KEEP_MS = 3000, HELD_MAX = 8, RX_MAX = 2 * FRAME_AREA };

struct owed_reply {
    unsigned char cmd;
    int64_t since;
};

struct held_card {
    unsigned char data[UID_LONG_REPLY];
    int n;
};

// Everything the line carries from one exchange to the next.
struct reader_exchange {
    unsigned char rx[RX_MAX]; // received and not yet judged
    int64_t rx_at[RX_MAX];    // when each of them was read
    int rxlen;
    owed_reply owed[OWED_MAX]; // oldest first; the request in progress last
    int nowed;
    held_card held[HELD_MAX]; // cards read late, oldest first
    int nheld;
    int64_t last_end; // when the last exchange ended, 0 before the first
    bool silent;      // the last exchange heard nothing after its request
} xc;

// A valid frame taken out of the received bytes.
struct frame {
    unsigned char st;
    unsigned char data[FRAME_AREA];
    int n;
    int64_t first, end; // when its first and its last byte were read
};

// One exchange in progress.
struct turn {
    unsigned char cmd;
    int64_t written;  // when the request went out; 0 before
    int64_t ref;      // its reply starts within READER_CATCH_MS of this
    int64_t deadline; // for the first byte of the reply
    int64_t hard_end; // of the whole exchange
    int64_t last_byte;
    int budget; // bytes it may still read
    int junk;   // bytes after the request that began no frame, since the last frame
    bool answered, candidate;
    int pays;           // owed reply the candidate pays if anything follows it
    frame answer, cand; // the reply; a frame that may be it
};

void pay(int i)
{
    int k = i + 1 < xc.nowed ? i + 1 : xc.nowed;
    xc.nowed -= k;
    memmove(xc.owed, xc.owed + k, sizeof xc.owed[0] * static_cast<size_t>(xc.nowed));
}

void owe(unsigned char cmd, int64_t now)
{
    if (xc.nowed == OWED_MAX)
        pay(0);
    xc.owed[xc.nowed++] = {cmd, now};
}

void forget_stale(int64_t now)
{
    int k = 0;
    while (k < xc.nowed && now - xc.owed[k].since > OWED_KEEP_MS * MS)
        k++;
    if (k > 0)
        pay(k - 1);
}

void drop_rx(int k)
{
    xc.rxlen -= k;
    memmove(xc.rx, xc.rx + k, static_cast<size_t>(xc.rxlen));
    memmove(xc.rx_at, xc.rx_at + k, sizeof xc.rx_at[0] * static_cast<size_t>(xc.rxlen));
}

int older(const turn *t)
{
    return xc.nowed - (t->written ? 1 : 0);
}

// The oldest owed reply, before the request in progress, that f can be.
int first_fit(const turn *t, const frame *f)
{
    for (int i = 0; i < older(t); i++)
        if (frame_fits(xc.owed[i].cmd, f->st, f->n))
            return i;
    return -1;
}

// f is the reply owed at index i (-1: of none) and the replies before it
// never came; a card in it is kept. The request's own reply may start only
// after it.
void settle(turn *t, const frame *f, int i)
{
    if (frame_is_uid(f->st, f->n))
        exchange_hold_card(f->data, f->n);
    if (i >= 0)
        pay(i);
    if (t->written) {
        t->ref = f->end;
        if (t->deadline < f->end + READER_CATCH_MS * MS)
            t->deadline = f->end + READER_CATCH_MS * MS;
    }
}

// A frame that began before the request is late. After it, a frame is the
// request's reply when no older owed reply can be it; when one can, the
// frame is taken for the older one unless it came on time for the request
// and nothing follows it within READER_CATCH_MS.
void judge(turn *t, const frame *f)
{
    bool card = frame_is_uid(f->st, f->n);
    int n_older = older(t);
    int e = first_fit(t, f);
    if (!t->written || f->first < t->written)
        return settle(t, f, e >= 0 || card || n_older == 0 ? e : 0);
    bool fits = frame_fits(t->cmd, f->st, f->n);
    if (e < 0) {
        if (fits || (!card && n_older == 0)) {
            t->answered = true; // with a shape of its own the operation refuses
            t->answer = *f;
        } else {
            settle(t, f, card ? -1 : 0);
        }
        return;
    }
    if (fits && f->first <= t->ref + READER_CATCH_MS * MS) {
        t->candidate = true;
        t->pays = e;
        t->cand = *f;
        return;
    }
    settle(t, f, e);
}

// Something came after the candidate: it was the older reply.
void candidate_followed(turn *t)
{
    if (!t->candidate)
        return;
    t->candidate = false;
    settle(t, &t->cand, t->pays);
}

// Judges every frame in the received bytes. Returns SCAN_PENDING when a
// frame is under way.
int take_frames(turn *t)
{
    for (;;) {
        int start, flen;
        int s = frame_scan(xc.rx, xc.rxlen, &start, &flen);
        if (start > 0) {
            if (t->written && xc.rx_at[start - 1] >= t->written)
                t->junk += start;
            drop_rx(start);
        }
        if (s != SCAN_FRAME)
            return s;
        frame f;
        const unsigned char *d;
        frame_parse(xc.rx, flen, &f.st, &d, &f.n);
        memcpy(f.data, d, static_cast<size_t>(f.n) + 1); // with the check byte: see optFunction
        f.first = xc.rx_at[0];
        f.end = xc.rx_at[flen - 1];
        drop_rx(flen);
        candidate_followed(t);
        judge(t, &f);
        t->junk = 0;
        if (t->answered)
            return SCAN_NONE; // what follows is judged by the next exchange
        if (t->candidate && xc.rxlen > 0)
            candidate_followed(t);
    }
}

// Appends what can be read now. Returns the byte count, or -1 when the line
// gives nothing although it was readable (hung up, failed).
int take_input(turn *t)
{
    if (xc.rxlen == RX_MAX)
        drop_rx(1);
    size_t room = static_cast<size_t>(RX_MAX - xc.rxlen);
    if (room > static_cast<size_t>(t->budget))
        room = static_cast<size_t>(t->budget);
    ssize_t n;
    do
        n = read(fd1, xc.rx + xc.rxlen, room);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return -1;
    int64_t now = mono_ns();
    for (ssize_t i = 0; i < n; i++)
        xc.rx_at[xc.rxlen++] = now;
    t->budget -= static_cast<int>(n);
    t->last_byte = now;
    return static_cast<int>(n);
}

// 1 readable, 0 nothing until `until`, -1 failed.
int wait_until(int64_t until)
{
    int64_t ns = until - mono_ns();
    return wait_readable(fd1, ns > 0 ? static_cast<long>((ns + MS - 1) / MS) : 0);
}

// Before the request: what is queued is late, and so is a frame under way,
// which is waited for while its bytes keep coming (one gap at most).
int take_queued(turn *t)
{
    int64_t end = mono_ns() + READER_GAP_MS * MS;
    int s = take_frames(t);
    for (bool first = true;; first = false) {
        int64_t now = mono_ns();
        if ((!first && now >= end) || t->budget <= 0)
            return 0;
        int64_t until = now;
        if (s == SCAN_PENDING && t->last_byte + READER_GAP_MS * MS > now)
            until =
                t->last_byte + READER_GAP_MS * MS < end ? t->last_byte + READER_GAP_MS * MS : end;
        int r = wait_until(until);
        if (r < 0) {
            perror("select error\n");
            return -1;
        }
        if (r == 0)
            return 0;
        if (take_input(t) < 0)
            return -1;
        s = take_frames(t);
    }
}

// Bytes read after the request that no frame has taken.
bool heard_since_frame(const turn *t)
{
    return t->junk > 0 || (xc.rxlen > 0 && xc.rx_at[xc.rxlen - 1] >= t->written);
}

} // namespace

int exchange_silent(void)
{
    return xc.silent ? 1 : 0;
}

void exchange_hold_card(const unsigned char *data, int n)
{
    if (n > UID_LONG_REPLY)
        return;
    if (xc.nheld == HELD_MAX)
        exchange_take_card(nullptr, nullptr);
    memcpy(xc.held[xc.nheld].data, data, static_cast<size_t>(n));
    xc.held[xc.nheld++].n = n;
}

int exchange_take_card(unsigned char *out, int *outlen)
{
    if (xc.nheld == 0)
        return -1;
    if (out) {
        memcpy(out, xc.held[0].data, static_cast<size_t>(xc.held[0].n));
        *outlen = xc.held[0].n;
    }
    xc.nheld--;
    memmove(xc.held, xc.held + 1, sizeof xc.held[0] * static_cast<size_t>(xc.nheld));
    return 0;
}

long exchange_quiet_ms(void)
{
    return xc.last_end ? static_cast<long>((mono_ns() - xc.last_end) / MS)
                       : long{READER_SILENCE_MS};
}

int exchange_owed(void)
{
    return xc.nowed;
}

void exchange_reset(void)
{
    memset(&xc, 0, sizeof xc);
}

// The exchange reads until its reply is in, or the line is quiet: nothing
// came by the deadline, or a frame under way (or bytes that began none)
// paused READER_GAP_MS. A candidate reply waits READER_CATCH_MS for what may
// follow it. Nothing goes on past the hard end or the byte budget.
int optFunction(unsigned char cmd, unsigned char *data, int n, unsigned char *out, int *outlen,
                long timeout)
{
    unsigned char request[FRAME_AREA];
    int reqlen = frame_build(request, cmd, data, n);
    if (reqlen < 0)
        return -1;

    turn t;
    memset(&t, 0, sizeof t);
    t.cmd = cmd;
    t.budget = READER_READ_MAX;
    int64_t start = mono_ns();
    t.hard_end = start + (timeout + READER_MARGIN_MS) * MS;
    forget_stale(start);
    xc.silent = false;
    bool failed = take_queued(&t) < 0;

    if (!failed) {
        ssize_t w = write(fd1, request, static_cast<size_t>(reqlen));
        (void)w; // a lost request shows up as a missing or invalid reply
        t.written = mono_ns();
        t.ref = t.written;
        t.deadline = t.written + timeout * MS;
        owe(cmd, t.written);
    }
    int s = SCAN_NONE;
    while (!failed && !t.answered) {
        int64_t until = t.deadline;
        if (t.candidate)
            until = t.cand.end + READER_CATCH_MS * MS;
        else if ((s == SCAN_PENDING || t.junk > 0) && t.last_byte >= t.written)
            until = t.last_byte + READER_GAP_MS * MS;
        if (until > t.hard_end)
            until = t.hard_end;
        int r = t.budget > 0 ? wait_until(until) : 0;
        if (r < 0) {
            perror("select error\n");
            failed = true;
        } else if (r == 0) {
            if (t.candidate) {
                t.candidate = false;
                t.answered = true;
                t.answer = t.cand;
            }
            break;
        } else if (take_input(&t) < 0) {
            failed = true; // hung up: no time-out, no reply
        } else {
            candidate_followed(&t);
            s = take_frames(&t);
        }
    }
    if (t.candidate) { // failed with a candidate: it was the reply
        t.answered = true;
        t.answer = t.cand;
    }
    xc.last_end = mono_ns();

    if (t.answered) {
        xc.nowed = 0; // the module answers in order: the older ones never came
    } else if (t.written && t.junk > 0 && s != SCAN_PENDING) {
        pay(0); // a reply came, mangled: the oldest owed one
    }
    xc.silent = t.written && !failed && !t.answered && !heard_since_frame(&t);
    LOG_FLOOD(xc.silent, LOG_WARNING, "recv data timeout");
    if (!t.answered)
        return -1;
    if (t.answer.st == READER_STATUS_OK) {
        if (t.answer.n > 0)
            memcpy(out, t.answer.data, static_cast<size_t>(t.answer.n));
        *outlen = t.answer.n;
        return 0;
    }
    // The error code is the byte after the status: with no data bytes that
    // is the reply's own check byte.
    out[0] = t.answer.data[0];
    *outlen = 1;
    return -2;
}
