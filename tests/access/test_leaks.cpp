// Thousands of calls, answered and failed, over HTTP and HTTPS: no
// descriptor and no memory may stay behind (LeakSanitizer checks the heap in
// the sanitizer build; here the descriptor table and the resident size).
#include <cstdlib>
#include <gtest/gtest.h>

#include "settings/readerdb.h"
#include "tests/access/gate_support.h"

namespace
{

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool sanitized = true; // the sanitizer's own bookkeeping grows the resident size
#else
const bool sanitized = false;
#endif

// Fewer rounds under an emulator, where every call is many times slower.
int rounds(int n)
{
    const char *emu = getenv("GW_EMULATOR");
    return emu && *emu ? n / 10 : n;
}

// Runs calls calls against svc and checks the descriptors and resident size
// against those after the first warm-up tenth.
void check_calls(Service &svc, int calls, int expect_rc)
{
    int warm = calls / 10;
    for (int i = 0; i < warm; i++)
        ASSERT_EQ(run_gate("0A1B2C3D\n").rc, expect_rc);
    svc.child.drain();
    int fds = open_fds();
    long rss = rss_kb();
    for (int i = warm; i < calls; i++) {
        slot_reset();
        GateRun run = run_gate("0A1B2C3D\n");
        ASSERT_EQ(run.rc, expect_rc) << "call " << i << ": " << run.err;
        svc.child.drain(); // its log must not fill the pipe
    }
    EXPECT_EQ(open_fds(), fds);
    if (!sanitized) {
        EXPECT_LT(rss_kb() - rss, 2048) << "resident size grew from " << rss << " kB";
    }
}

TEST(Leaks, HttpAnswers)
{
    Service svc;
    ASSERT_TRUE(svc.start({"--grant-all"}));
    check_calls(svc, rounds(2000), 0);
}

TEST(Leaks, HttpFaults)
{
    Service svc;
    ASSERT_TRUE(svc.start({"--grant-all", "--fault", "fault500"}));
    check_calls(svc, rounds(500), -1);
}

TEST(Leaks, HttpsAnswers)
{
    std::string dir = test_cert_dir();
    ASSERT_FALSE(dir.empty());
    Service svc;
    ASSERT_TRUE(svc.start(
        {"--tls", "--cert", dir + "/cert.pem", "--key", dir + "/key.pem", "--grant-all"}));
    check_calls(svc, rounds(300), 0);
}

TEST(Leaks, HttpsHandshakeFailures)
{
    Service svc;
    ASSERT_TRUE(svc.start({"--grant-all"}, false));
    std::string url = "https" + svc.url.substr(4);
    std::vector<char> text(url.begin(), url.end());
    text.push_back('\0');
    ASSERT_EQ(writeUrlConfig(text.data()), 0);
    check_calls(svc, rounds(200), -1);
}

} // namespace
