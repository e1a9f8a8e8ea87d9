// main() of the access gate tests: accessGate reads /etc/reader.db and the
// tests rewrite it, so they run only inside scripts/board-sandbox, where /etc
// is a private tmpfs, and report "skipped" (77) anywhere else.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include "core/slot.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    const char *sandbox = getenv("GW_SANDBOX");
    struct statfs fs;
    if (!sandbox || strcmp(sandbox, "1") != 0 || statfs("/etc", &fs) != 0 ||
        fs.f_type != TMPFS_MAGIC) {
        fprintf(stderr, "%s: works on /etc: run it inside scripts/board-sandbox\n", argv[0]);
        return 77;
    }
    // The client alone must keep a closed connection from ending the
    // process: SIGPIPE keeps its default action here, as without the
    // daemon's start-up.
    signal(SIGPIPE, SIG_DFL);
    slot_init();
    return RUN_ALL_TESTS();
}
