// The serial line as the module sees it: requests gathered from the
// controller with the time each byte would have taken on the wire, and
// replies sent byte by byte at the line rate.
#pragma once

#include <cstdint>

#include "reader/reader_proto.h"
#include "tools/readersim/protocol.h"

enum {
    LINE_RX_MAX = 1024,
    LINE_TX_MAX = 4096,
    LINE_LOG_MAX = 32,
};

struct sim_line {
    int fd;
    int64_t byte_ns; // wire time of one 8N1 byte; 0 without pacing

    unsigned char rx[LINE_RX_MAX];
    int64_t rx_end[LINE_RX_MAX]; // when each byte would have been received
    int rxlen;
    int64_t rx_wire_free; // end of the last byte received
    int64_t rx_last;      // when bytes last came in

    unsigned char tx[LINE_TX_MAX];
    int64_t tx_due[LINE_TX_MAX];     // when each byte is written
    signed char tx_log[LINE_TX_MAX]; // log line printed as the byte goes out, or -1
    int tx_head, tx_count;
    int64_t tx_free; // when the last queued byte is out
    char logs[LINE_LOG_MAX][PLAN_LOG_MAX];
    int next_log;
};

void line_init(sim_line *l, int fd, long baud);

// Takes in what the controller has written. Returns 0, or -1 when the read
// fails for another reason than an empty queue.
int line_receive(sim_line *l, int64_t now);

// The next complete request candidate: a start byte, a length byte of 1 to
// 250 and all its bytes. Bytes that cannot start a frame are dropped and
// logged. Returns 1 with the frame copied out and the time its last byte was
// in, or 0 when no request is complete yet.
int line_take_frame(sim_line *l, unsigned char *frame, int *len, int64_t *end_ns);

// A partial request that stays incomplete for long is dropped (and logged).
void line_expire(sim_line *l, int64_t now);
int64_t line_rx_deadline(const sim_line *l); // INT64_MAX when nothing waits

// Queues a reply that may start at start_ns (once earlier replies are out).
void line_send(sim_line *l, const reply_plan *p, int64_t start_ns);
int64_t line_tx_due(const sim_line *l); // next byte's time, INT64_MAX when none

// Writes every byte that is due, printing each reply's tx line as its first
// byte goes out.
void line_transmit(sim_line *l, int64_t now);
