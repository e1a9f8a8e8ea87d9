// Start-up: the options, the output, the leftovers of interrupted settings
// writes, the slot's locks, the two network threads, then the hardware loop
// on the main thread. There is no orderly shutdown.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "access/service_conn.h"
#include "common/log.h"
#include "core/slot.h"
#include "daemon/hardware.h"
#include "daemon/report.h"
#include "netservice/manage_allow.h"
#include "netservice/tcpserver.h"
#include "netservice/udpserver.h"
#include "settings/netconfig.h"

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

void start_thread(void *(*entry)(void *))
{
    pthread_t tid;
    int err = pthread_create(&tid, nullptr, entry, nullptr);
    if (err != 0) {
        printf("can't create thread: %s", strerror(err));
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

    log_init(DAEMON_LEVELS, DAEMON_LEVEL_COUNT);
    // Log lines must reach a pipe as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    removeNetConfigLeftovers(&started);
    report_start();
    slot_init();
    print_protection_state();
    // A peer that has gone must not end the process on the next write.
    signal(SIGPIPE, SIG_IGN);

    service_conn_start();
    start_thread(thread_udpserver);
    start_thread(thread_tcpserver);
    handle_event();
    return 0;
}
