// Start-up: the options, the output, the leftovers of interrupted settings
// writes, offline grace, the slot's locks, the service connector, the two
// network threads and the watchdog, then the hardware loop on the main
// thread. There is no orderly shutdown.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "access/offline_grace.h"
#include "access/service_conn.h"
#include "common/health.h"
#include "common/log.h"
#include "core/slot.h"
#include "daemon/hardware.h"
#include "daemon/report.h"
#include "daemon/watchdog.h"
#include "netservice/manage_allow.h"
#include "netservice/status.h"
#include "netservice/tcpserver.h"
#include "netservice/udpserver.h"
#include "settings/grant_store.h"
#include "settings/netconfig.h"
#include "settings/offline_config.h"

namespace
{

const char USAGE[] = "Usage: gatewarden [--help | --version]\n";
const char HELP[] = "Controller of an access-control card reader: polls the reader on %s, asks\n"
                    "the access service for every card, answers the configuration tool on UDP %d\n"
                    "and TCP %d. It takes no other arguments and runs until it is stopped.\n"
                    "See gatewarden(8).\n";

enum { EXIT_USAGE = 2 };

// --help and --version print and end with 0; anything else is bad usage.
int run_option(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("gatewarden %s\n", GATEWARDEN_VERSION);
        return EXIT_SUCCESS;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(USAGE, stdout);
        printf(HELP, READER_DEVICE, UDP_PORT, TCP_PORT);
        return EXIT_SUCCESS;
    }
    fputs(USAGE, stderr);
    return EXIT_USAGE;
}

// A network thread that ends is marked so, and the watchdog stops its pings.
template <void *(*entry)(void *), int part> void *watched(void *arg)
{
    entry(arg);
    health_ended(part);
    return nullptr;
}

void start_thread(void *(*entry)(void *))
{
    pthread_t tid;
    int err = pthread_create(&tid, nullptr, entry, nullptr);
    if (err != 0) {
        log_text(LOG_ERR, "can't create thread: %s", strerror(err));
        exit(-1);
    }
}

} // namespace

int main(int argc, char **argv)
{
    timespec started;
    clock_gettime(CLOCK_REALTIME, &started);
    if (argc > 1)
        return run_option(argc, argv);

    // A peer that has gone, or an output stream whose reader has, must not
    // end the process on the next write: before the first line.
    signal(SIGPIPE, SIG_IGN);
    log_init();
    // Log lines must reach a pipe as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    removeNetConfigLeftovers(&started);
    long grace = offline_grace_start(OFFLINE_GRACE_FILE, GRANT_STORE_PATH);
    status_offline_grace_s = grace > 0 ? grace : 0;
    report_start();
    slot_init();
    print_protection_state();

    service_conn_start();
    start_thread(watched<thread_udpserver, HEALTH_UDP>);
    start_thread(watched<thread_tcpserver, HEALTH_TCP>);
    watchdog_start();
    handle_event();
    return 0;
}
