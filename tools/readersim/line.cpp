#include "tools/readersim/line.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "tools/readersim/simlog.h"

namespace
{

enum : int64_t {
    MS = 1000000,
    STALE_NS = 200 * MS, // a request still incomplete after this is dropped
    BITS_PER_BYTE = 10,  // start, 8 data, stop
};

void drop_rx(sim_line *l, int n, const char *why)
{
    char hex[2 * LINE_RX_MAX + 1];
    hex_text(hex, l->rx, n);
    simlog("rx %s bytes=%s", why, hex);
    l->rxlen -= n;
    memmove(l->rx, l->rx + n, static_cast<size_t>(l->rxlen));
    memmove(l->rx_end, l->rx_end + n, sizeof l->rx_end[0] * static_cast<size_t>(l->rxlen));
}

int tx_index(const sim_line *l, int i)
{
    return (l->tx_head + i) % LINE_TX_MAX;
}

} // namespace

void line_init(sim_line *l, int fd, long baud)
{
    memset(l, 0, sizeof *l);
    l->fd = fd;
    l->byte_ns = baud > 0 ? BITS_PER_BYTE * 1000000000LL / baud : 0;
}

int line_receive(sim_line *l, int64_t now)
{
    for (;;) {
        if (l->rxlen == LINE_RX_MAX)
            drop_rx(l, l->rxlen, "overflow");
        ssize_t n = read(l->fd, l->rx + l->rxlen, static_cast<size_t>(LINE_RX_MAX - l->rxlen));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (n <= 0)
            return -1;
        // On a real line the bytes follow one another, each taking byte_ns.
        int64_t t = now > l->rx_wire_free ? now : l->rx_wire_free;
        for (ssize_t i = 0; i < n; i++) {
            t += l->byte_ns;
            l->rx_end[l->rxlen++] = t;
        }
        l->rx_wire_free = t;
        l->rx_last = now;
    }
}

int line_take_frame(sim_line *l, unsigned char *frame, int *len, int64_t *end_ns)
{
    while (l->rxlen > 0) {
        if (l->rx[FRAME_OFF_START] != FRAME_START) {
            int junk = 1;
            while (junk < l->rxlen && l->rx[junk] != FRAME_START)
                junk++;
            drop_rx(l, junk, "junk");
            continue;
        }
        if (l->rxlen <= FRAME_OFF_LEN)
            return 0;
        int flen = l->rx[FRAME_OFF_LEN];
        if (flen == 0 || flen > FRAME_MAX_LEN) {
            drop_rx(l, 1, "junk");
            continue;
        }
        int need = flen + FRAME_OVERHEAD - 1;
        if (l->rxlen < need)
            return 0;
        memcpy(frame, l->rx, static_cast<size_t>(need));
        *len = need;
        *end_ns = l->rx_end[need - 1];
        l->rxlen -= need;
        memmove(l->rx, l->rx + need, static_cast<size_t>(l->rxlen));
        memmove(l->rx_end, l->rx_end + need, sizeof l->rx_end[0] * static_cast<size_t>(l->rxlen));
        return 1;
    }
    return 0;
}

void line_expire(sim_line *l, int64_t now)
{
    if (l->rxlen > 0 && now >= line_rx_deadline(l))
        drop_rx(l, l->rxlen, "incomplete");
}

int64_t line_rx_deadline(const sim_line *l)
{
    return l->rxlen > 0 ? l->rx_last + STALE_NS : INT64_MAX;
}

void line_send(sim_line *l, const reply_plan *p, int64_t start_ns)
{
    if (p->none || p->len <= 0)
        return;
    if (l->tx_count + p->len > LINE_TX_MAX) {
        simlog("tx dropped (queue full)");
        return;
    }
    // The module answers in order: a reply starts its turnaround after its
    // request is in and the reply before it is out.
    int64_t t = start_ns > l->tx_free ? start_ns : l->tx_free;
    t += p->turn_us * 1000LL + p->late_ms * MS;
    int log = -1;
    if (!p->quiet) {
        log = l->next_log;
        l->next_log = (l->next_log + 1) % LINE_LOG_MAX;
        memcpy(l->logs[log], p->log, sizeof l->logs[log]);
    }
    for (int i = 0; i < p->len; i++) {
        if (p->split_at > 0 && i == p->split_at)
            t += p->split_ms * MS;
        t += l->byte_ns;
        int at = tx_index(l, l->tx_count++);
        l->tx[at] = p->bytes[i];
        l->tx_due[at] = t;
        l->tx_log[at] = static_cast<signed char>(i == 0 ? log : -1);
    }
    l->tx_free = t;
}

int64_t line_tx_due(const sim_line *l)
{
    return l->tx_count > 0 ? l->tx_due[l->tx_head] : INT64_MAX;
}

// Every byte that is due goes out in one write, so replies that are due
// together (a late one and the next) reach the controller as one burst.
void line_transmit(sim_line *l, int64_t now)
{
    unsigned char run[LINE_TX_MAX];
    int n = 0;
    while (l->tx_count > 0 && l->tx_due[l->tx_head] <= now) {
        if (l->tx_log[l->tx_head] >= 0)
            simlog("%s", l->logs[static_cast<int>(l->tx_log[l->tx_head])]);
        run[n++] = l->tx[l->tx_head];
        l->tx_head = tx_index(l, 1);
        l->tx_count--;
    }
    if (n == 0)
        return;
    ssize_t w;
    do
        w = write(l->fd, run, static_cast<size_t>(n));
    while (w < 0 && errno == EINTR);
    if (w < n)
        simlog("tx lost %d bytes (controller not reading)", w < 0 ? n : n - static_cast<int>(w));
}
