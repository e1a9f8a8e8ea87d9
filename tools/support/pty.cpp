#include "tools/support/support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// Raw from the start: with the default line discipline the module's replies
// would be echoed back and translated before the controller has configured
// the line itself.
int make_raw(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return -1;
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t);
}

void close_keep_errno(int fd)
{
    int e = errno;
    close(fd);
    errno = e;
}

} // namespace

int pty_open(gw_pty *p)
{
    p->slave = -1;
    p->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p->master < 0)
        return -1;
    if (grantpt(p->master) == 0 && unlockpt(p->master) == 0 &&
        ptsname_r(p->master, p->name, sizeof p->name) == 0)
        p->slave = open(p->name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p->slave >= 0 && make_raw(p->slave) == 0 && fcntl(p->master, F_SETFL, O_NONBLOCK) == 0)
        return 0;
    if (p->slave >= 0)
        close_keep_errno(p->slave);
    close_keep_errno(p->master);
    return -1;
}

int pty_link(const char *link, const char *target, char *err, size_t errlen)
{
    struct stat st;
    if (lstat(link, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            snprintf(err, errlen, "%s exists and is not a symlink; not replacing it", link);
            return -1;
        }
        if (unlink(link) != 0) {
            snprintf(err, errlen, "cannot remove the old link %s: %s", link, strerror(errno));
            return -1;
        }
    }
    if (symlink(target, link) != 0) {
        snprintf(err, errlen, "cannot make the link %s: %s", link, strerror(errno));
        return -1;
    }
    return 0;
}

void pty_close(gw_pty *p)
{
    if (p->slave >= 0)
        close(p->slave);
    if (p->master >= 0)
        close(p->master);
    p->slave = p->master = -1;
}

void pty_unlink(const char *link, const char *target)
{
    char now[sizeof(gw_pty::name)];
    ssize_t n = readlink(link, now, sizeof now - 1);
    if (n < 0)
        return;
    now[n] = '\0';
    if (strcmp(now, target) == 0)
        unlink(link);
}
