#include "common/mono_clock.h"

#include <ctime>

int64_t mono_ns(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long mono_ms(void)
{
    return mono_ns() / 1000000;
}
