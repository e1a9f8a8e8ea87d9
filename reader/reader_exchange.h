// One request/reply exchange with the reader module on fd1, and what the
// line owes from one exchange to the next: replies still to come, cards
// read late, bytes of a frame under way. docs/reader-exchange.md tells how
// a reply is told from a late one.
#pragma once

// One exchange on fd1: sends cmd with n data bytes and waits at most timeout
// ms for the first byte of its reply. It ends within timeout +
// READER_MARGIN_MS and reads at most READER_READ_MAX bytes, whatever the line
// sends. A reply that an earlier request is owed never answers it; a card
// identifier that answers no request of this exchange is kept for
// exchange_take_card.
//   0  valid reply, status 0x00: out holds the data bytes, *outlen their count
//  -2  valid reply, other status: out[0] is the reader's error code, *outlen 1
//  -1  no valid reply (wait failed, time-out, invalid frame); out untouched
int optFunction(unsigned char cmd, unsigned char *data, int n, unsigned char *out, int *outlen,
                long timeout);

// 1 when the last exchange timed out: no reply to its request and no stray
// bytes after it (a late reply to an earlier request, settled meanwhile,
// does not count as an answer), 0 otherwise.
int exchange_silent(void);

// Keeps a card identifier reply's n data bytes behind those kept already.
void exchange_hold_card(const unsigned char *data, int n);
// The oldest kept card: 0 with its data bytes in out and *outlen, -1 when none.
int exchange_take_card(unsigned char *out, int *outlen);

// Milliseconds since the last exchange ended (READER_SILENCE_MS before the first).
long exchange_quiet_ms(void);

// Requests whose reply may still come.
int exchange_owed(void);

// Forgets the line's history, for a port opened afresh.
void exchange_reset(void);
