// The monotonic clock, for time-outs and intervals that a change of the
// wall clock must not stretch or cut.
#pragma once

#include <cstdint>

// Nanoseconds and milliseconds on CLOCK_MONOTONIC.
int64_t mono_ns(void);
long long mono_ms(void);
