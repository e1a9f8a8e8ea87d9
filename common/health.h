// How the daemon is doing, told cheaply by the parts that do the work and
// read by the watchdog and the status report: a stamp per thread, the
// reader's polls and the cards' outcomes. Every call is safe from any thread
// and never blocks for long.
#pragma once

#include <stddef.h>

// The threads the daemon needs.
enum health_part { HEALTH_HARDWARE, HEALTH_TCP, HEALTH_UDP, HEALTH_PARTS };

// A hardware turn longer than this is a stuck loop; a network thread may be
// busy with one request for twice as long (it may wait for a whole turn).
enum { HEALTH_STUCK_MS = 20000 };
// The bound in force (HEALTH_STUCK_MS; tests shorten it).
extern long health_stuck_ms;

// Hardware loop, at the start of every turn: the loop turns; port_open
// tells whether the reader's serial port is open.
void health_turn(bool port_open);
// Network threads: idle starts a wait that may last (accept, a silent
// connection, the next datagram); busy starts the handling of a request.
void health_idle(int part);
void health_busy(int part);
// The thread of part has ended (its entry returned).
void health_ended(int part);

// One reader exchange: poll when it was the card poll, answered when a
// valid reply frame came (the reader's failure statuses included).
void health_exchange(bool poll, bool answered);

enum health_card_outcome { HEALTH_GRANTED, HEALTH_REFUSED, HEALTH_NO_ANSWER };
// One access check: whether the service answered and, if so, whether it
// granted; else error tells why (may be null).
void health_card(bool answered, bool granted, const char *error);

enum health_state {
    HEALTH_NOT_STARTED, // not begun yet
    HEALTH_RUNNING,     // turning, idle, or busy within the bound
    HEALTH_STUCK,       // a turn or a request takes longer than the bound
    HEALTH_ENDED,       // the thread has ended
};
extern const char *const HEALTH_STATE_NAMES[]; // "not started", "running", "stuck", "ended"
extern const char *const HEALTH_PART_NAMES[];  // "hardware", "tcp", "udp"

struct health_snapshot {
    int state[HEALTH_PARTS];   // health_state of each thread
    long long uptime_ms;       // since the process started
    bool port_open;            // the reader's serial port, at the last turn
    bool reader_answers;       // the last exchange had a valid reply
    double polls_per_s;        // card polls in the last whole second
    unsigned long cards[3];    // by health_card_outcome
    int last_card;             // outcome of the last check, -1 before the first
    char last_error[160];      // the last HEALTH_NO_ANSWER's reason ("" none)
    long long last_error_time; // its wall-clock time in ms, 0 none
};
void health_read(struct health_snapshot *s);

// True when every thread has begun and none is stuck or has ended.
bool health_ok(const struct health_snapshot *s);
// True when every thread has begun.
bool health_started(const struct health_snapshot *s);
