// Frames of the reader protocol: building a request, validating a reply,
// finding frames in received bytes, and the shape of each command's reply.
#pragma once

// XOR of len bytes from p, 0 when len <= 0.
int makecrc(unsigned char *p, int len);

// Builds the request frame for cmd and n data bytes (0..FRAME_MAX_DATA) into
// out, which holds at least n + FRAME_OVERHEAD bytes. Returns the frame length,
// or -1 when n is out of range. The reader simulator builds its replies with
// it too: a reply has the request's layout, with the status byte for cmd.
int frame_build(unsigned char *out, unsigned char cmd, const unsigned char *data, int n);

// Validates a frame at the start of area (len bytes received). On success
// returns 0 and sets *code to the command/status byte, *data to the first
// data byte and *n to the number of data bytes (length byte - 1). Returns -1
// for a frame that does not start with FRAME_START, has a length byte of 0 or
// above FRAME_MAX_LEN, a wrong check byte or no FRAME_END where its length
// byte puts it, or whose check and end byte lie beyond len.
int frame_parse(const unsigned char *area, int len, unsigned char *code, const unsigned char **data,
                int *n);

// Looks for the earliest valid frame in len received bytes. A start byte
// whose frame proves invalid is skipped, so a frame behind line noise or
// behind the tail of a cut reply is found.
//   SCAN_FRAME    a valid frame at *start, *flen bytes long
//   SCAN_PENDING  none yet; the frame begun at *start may still complete
//   SCAN_NONE     none, and no byte can begin one (*start = len)
// Bytes before *start can begin no valid frame.
enum { SCAN_NONE, SCAN_PENDING, SCAN_FRAME };
int frame_scan(const unsigned char *buf, int len, int *start, int *flen);

// A reply that carries a card identifier: status 0x00 and exactly
// UID_SHORT_REPLY or UID_LONG_REPLY data bytes.
bool frame_is_uid(unsigned char status, int n);

// Whether a reply of this status and data length can answer cmd, where the
// protocol fixes its shape: a failure status answers any command; a success
// answers the card poll only with an identifier, the settings read only with
// the six-byte record, and no other command with an identifier.
bool frame_fits(unsigned char cmd, unsigned char status, int n);
