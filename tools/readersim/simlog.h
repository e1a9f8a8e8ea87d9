// Timestamped, machine-readable output lines of the simulator.
#pragma once

#include <cstdint>

#include "tools/support/support.h" // mono_ns

// Starts the clock that the t= stamps count from.
void simlog_start(void);

// Prints "t=<seconds since start, 3 decimals> <text>" as one line on stdout.
void simlog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes n bytes as upper-case hex into out (at least 2 * n + 1 bytes).
void hex_text(char *out, const unsigned char *p, int n);
