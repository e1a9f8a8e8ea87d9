// The reader's serial line: device, line settings, open, retry, hang-up check.
#include "reader/reader_link.h"

#include <poll.h>
#include <unistd.h>

#include "common/log.h"
#include "common/mono_clock.h"
#include "reader/reader_exchange.h"
#include "reader/serial_port.h"

const char READER_DEVICE[] = "/dev/ttymxc2";

int fd1 = -1;

namespace
{

enum { READER_BAUD = 9600, READER_DATA_BITS = 8, READER_STOP_BITS = 1 };
const char READER_PARITY = 'N';
enum { READER_RETRY_MS = 2000 }; // pause between attempts to open a missing port

long long next_open_ms; // monotonic time of the next attempt while fd1 < 0

// A port opened afresh has no history: nothing owed, nothing half received.
int open_line(void)
{
    int fd = open_port(READER_DEVICE);
    if (fd >= 0 &&
        set_port(fd, READER_BAUD, READER_DATA_BITS, READER_STOP_BITS, READER_PARITY) != 0) {
        close(fd);
        fd = -1;
    }
    fd1 = fd;
    next_open_ms = mono_ms() + READER_RETRY_MS;
    exchange_reset();
    return fd1 < 0 ? -1 : 0;
}

} // namespace

int reader_link_open(void)
{
    if (open_line() == 0)
        return 0;
    log_line(LOG_WARNING, "Reader port %s not available, trying again every %d s", READER_DEVICE,
             READER_RETRY_MS / 1000);
    return -1;
}

// The device node is looked for first, so a reader that stays away costs no
// message per attempt.
int reader_link_retry(void)
{
    if (fd1 >= 0)
        return 0;
    if (mono_ms() < next_open_ms)
        return -1;
    next_open_ms = mono_ms() + READER_RETRY_MS;
    if (access(READER_DEVICE, F_OK) != 0 || open_line() != 0)
        return -1;
    log_line(LOG_INFO, "Reader port %s open", READER_DEVICE);
    return 0;
}

long reader_link_retry_wait(void)
{
    long long wait = next_open_ms - mono_ms();
    return wait > 0 ? static_cast<long>(wait) : 0;
}

int reader_link_check(void)
{
    pollfd p = {fd1, 0, 0};
    if (fd1 < 0 || poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return 0;
    close(fd1);
    fd1 = -1;
    exchange_reset();
    next_open_ms = mono_ms() + READER_RETRY_MS;
    log_line(LOG_WARNING, "Reader port %s lost, trying again every %d s", READER_DEVICE,
             READER_RETRY_MS / 1000);
    return 1;
}
