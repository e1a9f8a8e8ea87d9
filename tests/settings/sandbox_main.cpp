// main() of the tests that work on the device's fixed paths (/etc/...): they
// run only inside scripts/board-sandbox, where /etc and /dev are private
// tmpfs mounts, and report "skipped" (77) anywhere else.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include "settings/sqlstore.h"
#include "tests/settings/settings_files.h"

static bool on_tmpfs(const char *path)
{
    struct statfs fs;
    return statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

bool rwlock_free()
{
    if (pthread_rwlock_trywrlock(&rwlock) != 0)
        return false;
    pthread_rwlock_unlock(&rwlock);
    return true;
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    const char *sandbox = getenv("GW_SANDBOX");
    if (!sandbox || strcmp(sandbox, "1") != 0 || !on_tmpfs("/etc") || !on_tmpfs("/dev")) {
        fprintf(stderr, "%s: works on /etc: run it inside scripts/board-sandbox\n", argv[0]);
        return 77;
    }
    return RUN_ALL_TESTS();
}
