// Start-up: the slot's locks, the two network threads, then the hardware
// loop on the main thread. There is no orderly shutdown.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "daemon/hardware.h"
#include "core/slot.h"
#include "netservice/manage_allow.h"
#include "netservice/tcpserver.h"
#include "netservice/udpserver.h"

namespace
{

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

int main(void)
{
    // Log lines must reach a pipe as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    slot_init();
    print_protection_state();
    // A peer that has gone must not end the process on the next write.
    signal(SIGPIPE, SIG_IGN);

    start_thread(thread_udpserver);
    start_thread(thread_tcpserver);
    handle_event();
    return 0;
}
