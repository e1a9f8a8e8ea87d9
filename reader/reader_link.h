// The reader's serial line as the controller holds it: the device, its line
// settings, opening it, taking it up again after it went away, and fd1.
#pragma once

// The reader's serial device.
extern const char READER_DEVICE[];

// The reader's serial port; -1 while it is not open. Written and used by the
// hardware thread only, which runs every exchange.
extern int fd1;

// Opens READER_DEVICE at 9600 8N1 into fd1. 0, or -1 with fd1 -1 (the port's
// own message printed) and the next attempt due READER_RETRY_MS from now.
int reader_link_open(void);

// While fd1 < 0: opens the port again once the retry time has come and the
// device node is there ("Reader port ... open"). 0 when fd1 is open now.
int reader_link_retry(void);

// Milliseconds until the next attempt to open (0: due now); only while fd1 < 0.
long reader_link_retry_wait(void);

// After a failed exchange: a port whose other end has gone (an unplugged
// adapter, a closed pseudo-terminal) reports a hang-up and answers every read
// at once, which would turn the poll loop into a busy loop. Such a port is
// closed ("Reader port ... lost") and taken up again like a missing one.
// 1 when it was closed, 0 otherwise.
int reader_link_check(void);
