// The watchdog thread against a notify socket of the test's own: READY once
// every thread serves, pings while they run, none once one of them sticks or
// ends. The hardware loop is the real optHardware (no reader port: a turn
// waits up to 2 s for the port).
#include <atomic>
#include <functional>
#include <memory>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

#include "common/health.h"
#include "core/slot.h"
#include "daemon/hardware.h"
#include "daemon/watchdog.h"
#include "tools/support/support.h"

namespace
{

const long BOUND_MS = 2500, PING_MS = 100;

// Datagrams of the notify socket, each with its arrival time.
struct NotifySocket {
    TempDir dir{"gw-notify"};
    int fd = unix_dgram_bind(dir.path + "/notify");
    NotifySocket() { setenv("NOTIFY_SOCKET", (dir.path + "/notify").c_str(), 1); }
    ~NotifySocket() { close(fd); }
    std::string next(int timeout_ms) { return unix_dgram_recv(fd, timeout_ms); }
    // Time from now to the last ping before a silence of quiet_ms.
    double pings_until_quiet(int quiet_ms)
    {
        double t0 = now_ms(), last = t0;
        while (next(quiet_ms) == "WATCHDOG=1")
            last = now_ms();
        return last - t0;
    }
};

struct Loop {
    std::atomic<bool> run{true};
    std::thread t{[this] {
        while (run)
            optHardware();
    }};
    ~Loop() { stop(); }
    void stop()
    {
        run = false;
        if (t.joinable())
            t.join();
    }
};

} // namespace

TEST(Watchdog, PingsOnlyWhileEveryThreadRuns)
{
    NotifySocket notify;
    setenv("WATCHDOG_USEC", std::to_string(2 * PING_MS * 1000).c_str(), 1);
    health_stuck_ms = BOUND_MS;
    slot_init();
    ASSERT_EQ(watchdog_start(), 0);
    auto loop = std::make_unique<Loop>();
    EXPECT_EQ(notify.next(1000), "") << "ready before the network threads serve";
    health_idle(HEALTH_TCP);
    health_idle(HEALTH_UDP);
    ASSERT_EQ(notify.next(3000), "READY=1");
    int pings = 0;
    for (double until = now_ms() + 1000; now_ms() < until;)
        pings += notify.next(500) == "WATCHDOG=1";
    EXPECT_GE(pings, 5);

    // What sticks, and within what time after that the pings stop.
    const struct {
        const char *what;
        std::function<void()> stick, mend;
        double min_ms, max_ms;
    } cases[] = {
        {"hardware loop", [&] { loop->stop(); }, [&] { loop = std::make_unique<Loop>(); },
         BOUND_MS - 2300, BOUND_MS + 1000},
        {"tcp request", [] { health_busy(HEALTH_TCP); }, [] { health_idle(HEALTH_TCP); },
         2 * BOUND_MS - 200, 2 * BOUND_MS + 1000},
        {"udp thread ended", [] { health_ended(HEALTH_UDP); }, [] { health_idle(HEALTH_UDP); }, 0,
         1000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.stick();
        double ms = notify.pings_until_quiet(static_cast<int>(BOUND_MS) + 1500);
        printf("pings stopped %.0f ms after the %s stuck (bound %ld ms)\n", ms, c.what, BOUND_MS);
        EXPECT_GE(ms, c.min_ms);
        EXPECT_LE(ms, c.max_ms);
        c.mend();
        EXPECT_EQ(notify.next(3000), "WATCHDOG=1") << "no pings once mended";
        notify.pings_until_quiet(1);
    }
}
