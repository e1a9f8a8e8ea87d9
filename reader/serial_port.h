// Serial port of the reader module: open, configure raw, timed reads.
#pragma once

// Opens path read-write, not as controlling terminal, then clears O_NONBLOCK.
// Returns the descriptor, or -1 after printing "can't open serial <path>".
int open_port(char const *path);

// Configures fd raw at speed (2400, 4800, 9600, 115200; others give 9600),
// data bits (7 or 8; others leave CS5), stop bits (2 sets CSTOPB) and parity
// ('N', 'O', 'E'; others give none), VMIN = VTIME = 0. Returns 0 or -1.
int set_port(int fd, long speed, int databits, int stopbits, char parity);

// One wait of at most timeout ms, then one read. Returns the read's result
// (bytes read, or its -1), 0 on time-out, -1 when the wait fails.
int tread(int fd, void *buf, unsigned int len, long timeout);

// Calls tread until len bytes are in or a wait ends without data; each wait
// gets the whole time-out. Returns the bytes gathered, 0..len.
int treadn(int fd, void *buf, unsigned int len, long timeout);

// Reads what is queued, then more while bytes keep coming less than timeout
// ms apart, until len bytes are in. Returns the bytes gathered, 0..len.
int tread2(int fd, void *buf, unsigned int len, long timeout);
