// The watchdog thread. Pings go out while health_ok holds, so a hardware
// loop that sticks for longer than health_stuck_ms, a request that sticks
// for twice as long, or a network thread that ended stops them, and the
// service manager restarts the daemon WatchdogSec after the last one.
#include "daemon/watchdog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/health.h"
#include "common/log.h"
#include "common/mono_clock.h"
#include "netservice/status.h"

const char STATUS_FILE[] = "status.json";

namespace
{

enum { TICK_MAX_MS = 1000 }; // the thread looks at least this often

struct watch {
    long long ping_ms;   // interval of the pings, 0 for none
    std::string rundir;  // where the status file goes, "" for none
    bool notify = false; // NOTIFY_SOCKET is set
};
watch w;

// Writes the status report into rundir/STATUS_FILE through a temporary
// file and a rename. Failures are reported once until it works again.
void write_status(void)
{
    static bool failing;
    std::string path = w.rundir + "/" + STATUS_FILE, tmp = path + ".tmp";
    char *text = status_text();
    FILE *f = text ? fopen(tmp.c_str(), "we") : nullptr;
    bool ok = f && fputs(text, f) >= 0 && fputc('\n', f) != EOF;
    ok = (f && fclose(f) == 0) && ok && rename(tmp.c_str(), path.c_str()) == 0;
    int err = text ? errno : ENOMEM;
    if (!ok && f)
        unlink(tmp.c_str()); // no half-written file left behind
    if (!ok && !failing)
        log_line(LOG_WARNING, "status file %s cannot be written: %s", path.c_str(), strerror(err));
    failing = !ok;
    free(text);
}

void *watchdog_thread(void *)
{
    bool ready = false, was_ok = true;
    long long next_ping = 0, next_status = 0;
    long tick = TICK_MAX_MS;
    if (w.ping_ms > 0 && w.ping_ms < tick)
        tick = static_cast<long>(w.ping_ms);
    for (;;) {
        health_snapshot h;
        health_read(&h);
        long long now = mono_ms();
        bool ok = health_ok(&h);
        if (!ready && health_started(&h)) {
            ready = true;
            if (w.notify)
                notify_send("READY=1");
        }
        if (ready && ok != was_ok) {
            std::string why;
            for (int p = 0; p < HEALTH_PARTS; p++)
                if (h.state[p] != HEALTH_RUNNING)
                    why += std::string(" ") + HEALTH_PART_NAMES[p] + " " +
                           HEALTH_STATE_NAMES[h.state[p]];
            if (ok)
                log_line(LOG_INFO, "health: every thread running again");
            else
                log_line(LOG_ERR, "health:%s%s", why.c_str(),
                         w.ping_ms ? "; watchdog pings stop" : "");
            was_ok = ok;
        }
        if (ready && ok && w.ping_ms > 0 && now >= next_ping) {
            notify_send("WATCHDOG=1");
            next_ping = now + w.ping_ms;
        }
        if (!w.rundir.empty() && now >= next_status) {
            write_status();
            next_status = now + STATUS_FILE_INTERVAL_MS;
        }
        usleep(static_cast<useconds_t>(tick) * 1000);
    }
    return nullptr;
}

} // namespace

int notify_send(const char *text)
{
    const char *name = getenv("NOTIFY_SOCKET");
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    size_t n = name ? strlen(name) : 0;
    if (n < 2 || n >= sizeof sa.sun_path || (name[0] != '/' && name[0] != '@'))
        return -1;
    memcpy(sa.sun_path, name, n);
    if (name[0] == '@')
        sa.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    ssize_t sent =
        sendto(fd, text, strlen(text), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sa), len);
    close(fd);
    return sent == static_cast<ssize_t>(strlen(text)) ? 0 : -1;
}

int watchdog_start(void)
{
    const char *usec = getenv("WATCHDOG_USEC"), *dir = getenv("RUNTIME_DIRECTORY");
    w.notify = getenv("NOTIFY_SOCKET") != nullptr;
    const char *pid = getenv("WATCHDOG_PID"); // pings meant for another process
    long long us = usec && (!pid || atol(pid) == getpid()) ? atoll(usec) : 0;
    w.ping_ms = w.notify && us > 0 ? (us / 1000 + 1) / 2 : 0;
    if (w.notify && us > 0 && w.ping_ms == 0)
        w.ping_ms = 1;
    // systemd may list several directories, separated by ':'.
    w.rundir = dir ? std::string(dir).substr(0, std::string(dir).find(':')) : "";
    if (!w.notify && w.rundir.empty())
        return 0;
    pthread_t tid;
    int err = pthread_create(&tid, nullptr, watchdog_thread, nullptr);
    if (err != 0) {
        log_line(LOG_ERR, "watchdog thread cannot be started: %s", strerror(err));
        return -1;
    }
    pthread_detach(tid);
    return 0;
}
