// One request/reply exchange with the reader module.
#pragma once

// The reader's serial port; -1 while it is not open. Written by the hardware
// thread only, which runs every exchange.
extern int fd1;

// XOR of len bytes from p, 0 when len <= 0.
int makecrc(unsigned char *p, int len);

// Builds the request frame for cmd and n data bytes (0..FRAME_MAX_DATA) into
// out, which holds at least n + FRAME_OVERHEAD bytes. Returns the frame length,
// or -1 when n is out of range. The reader simulator builds its replies with
// it too: a reply has the request's layout, with the status byte for cmd.
int frame_build(unsigned char *out, unsigned char cmd, const unsigned char *data, int n);

// Validates a frame at the start of area (len bytes valid, the rest of a
// FRAME_AREA-byte area may be zero). On success returns 0 and sets *code to
// the command/status byte, *data to the first data byte and *n to the number
// of data bytes (length byte - 1). Returns -1 for a frame that does not start
// with FRAME_START, has a length byte of 0 or above FRAME_MAX_LEN, a wrong
// check byte or no FRAME_END where its length byte puts it.
int frame_parse(const unsigned char *area, int len, unsigned char *code, const unsigned char **data,
                int *n);

// One exchange on fd1: sends cmd with n data bytes and waits at most timeout
// ms for its reply, which is read by its frame (see reader_frame.cpp).
// What was queued before the request, and a late reply of an earlier
// request, never answers it; a late card identifier is kept for
// frame_take_card.
//   0  valid reply, status 0x00: out holds the data bytes, *outlen their count
//  -2  valid reply, other status: out[0] is the reader's error code, *outlen 1
//  -1  no valid reply (wait failed, time-out, invalid frame); out untouched
int optFunction(unsigned char cmd, unsigned char *data, int n, unsigned char *out, int *outlen,
                long timeout);

// A reply that carries a card identifier: status 0x00 and 7 or at least 10
// data bytes.
bool frame_is_uid(unsigned char status, int n);

// The data bytes of a card identifier reply that came late (the oldest
// first): 0 with them in out and *outlen, -1 when there is none.
int frame_take_card(unsigned char *out, int *outlen);

// Milliseconds since the last exchange ended.
long frame_quiet_ms(void);
