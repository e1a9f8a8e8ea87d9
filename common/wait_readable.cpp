#include "common/wait_readable.h"

#include <cerrno>
#include <sys/select.h>

int wait_readable(int fd, long timeout_ms)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    if (timeout_ms < 0)
        timeout_ms = 0;
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(fd, &rfds);
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int r = select(fd + 1, &rfds, nullptr, nullptr, &tv);
    if (r > 0 && !FD_ISSET(fd, &rfds))
        return 0;
    return r;
}
