// Serial port of the reader module: open, configure raw. The exchange reads
// the port itself, by the frame (reader_exchange.h); the timed reads that
// once stood here (tread, treadn, tread2) had no caller left and are gone.
#pragma once

// Opens path read-write, not as controlling terminal, then clears O_NONBLOCK.
// Returns the descriptor, or -1 after printing "can't open serial <path>".
int open_port(char const *path);

// Configures fd raw at speed (2400, 4800, 9600, 115200; others give 9600),
// data bits (7 or 8; others leave CS5), stop bits (2 sets CSTOPB) and parity
// ('N', 'O', 'E'; others give none), VMIN = VTIME = 0. Returns 0 or -1.
int set_port(int fd, long speed, int databits, int stopbits, char parity);
