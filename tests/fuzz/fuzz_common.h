// Shared by the fuzz targets: checks that hold in every build, and the
// set-up of those that use the device's /etc.
#pragma once

#undef NDEBUG
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netservice/netrequest.h"

// Those targets refuse to run outside scripts/board-sandbox. The settings
// found there are written back after every accepted change, so that each
// input meets the same file.
inline NetInfo fuzz_saved_net;
inline void fuzz_sandbox_init(void)
{
    const char *sandbox = getenv("GW_SANDBOX");
    if (!sandbox || strcmp(sandbox, "1") != 0) {
        fputs("this target uses the device's /etc: run it with scripts/fuzz\n", stderr);
        exit(2);
    }
    readNetConfig(&fuzz_saved_net);
}
