// Thousands of calls, answered and failed, over HTTP and HTTPS: no
// descriptor and no memory may stay behind (LeakSanitizer checks the heap in
// the sanitizer build; here the descriptor table and the resident size).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/access/gate_support.h"

namespace
{

int open_fds()
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
}

long rss_kb()
{
    long pages = 0, resident = -1;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

// Descriptors and resident size are measured after a warm-up tenth of the calls.
TEST(Leaks, ManyCallsLeaveNothingBehind)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const bool sanitized = true; // the sanitizer's own bookkeeping grows the resident size
#else
    const bool sanitized = false;
#endif
    const char *emu = getenv("GW_EMULATOR");
    int scale = emu && *emu ? 10 : 1; // every call is many times slower under an emulator
    const struct {
        const char *args;
        bool https_to_plain;
        int calls, rc;
    } cases[] = {
        {"--grant-all", false, 2000, 0},
        {"--grant-all --fault fault500", false, 500, -1},
        {"--tls --grant-all", false, 300, 0},
        {"--grant-all", true, 200, -1}, // handshake failures
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        Service svc;
        ASSERT_TRUE(svc.start(c.args));
        ASSERT_TRUE(!c.https_to_plain || store_url("https" + svc.url.substr(4)));
        int calls = c.calls / scale, warm = calls / 10, fds = 0;
        long rss = 0;
        for (int i = 0; i < calls; i++) {
            if (i == warm) {
                fds = open_fds();
                rss = rss_kb();
            }
            slot_reset();
            GateRun run = run_gate("0A1B2C3D\n");
            ASSERT_EQ(run.rc, c.rc) << "call " << i << ": " << run.err;
            svc.child.drain(); // its log must not fill the pipe
        }
        EXPECT_EQ(open_fds(), fds);
        long grown = rss_kb() - rss;
        EXPECT_TRUE(sanitized || grown < 2048) << "resident size grew by " << grown << " kB";
    }
}
