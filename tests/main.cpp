// main() of every test program. One built for the board sandbox works on the
// device's fixed paths (/etc, /dev, ports 8000/8001): anywhere else it only
// reports "skipped" (77).
#include <cstdio>
#include <gtest/gtest.h>

#include "tools/support/support.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
#ifdef GW_SANDBOX_ONLY
    if (!in_board_sandbox()) {
        fprintf(stderr, "%s: run it inside scripts/board-sandbox\n", argv[0]);
        return 77;
    }
#endif
    return RUN_ALL_TESTS();
}
