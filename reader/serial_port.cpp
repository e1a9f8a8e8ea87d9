// Serial port of the reader module: open, raw configuration, timed reads.
#include "reader/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include "common/log.h"
#include "common/wait_readable.h"

namespace
{

speed_t speed_code(long speed)
{
    switch (speed) {
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 115200:
        return B115200;
    case 9600:
    default:
        return B9600;
    }
}

} // namespace

int open_port(char const *path)
{
    static log_flood cant_open = LOG_FLOOD_INIT(LOG_ERR, LOG_STDOUT, "can't open serial");
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    log_flood_state(&cant_open, fd < 0, "can't open serial %s", path);
    if (fd < 0)
        return -1;
    if (fcntl(fd, F_SETFL, 0) < 0)
        puts("serial fcntl failed!");
    return fd;
}

int set_port(int fd, long speed, int databits, int stopbits, char parity)
{
    static log_flood no_tty = LOG_FLOOD_INIT(LOG_ERR, LOG_STDERR, "serial tcgetattr error");
    termios old;
    int got = tcgetattr(fd, &old);
    log_flood_state(&no_tty, got != 0, "serial tcgetattr error: %s", strerror(errno));
    if (got != 0)
        return -1;

    termios tio;
    memset(&tio, 0, sizeof tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~CSIZE;
    if (databits == 7)
        tio.c_cflag |= CS7;
    else if (databits == 8)
        tio.c_cflag |= CS8;

    switch (parity) {
    case 'N':
        tio.c_cflag &= ~PARENB;
        break;
    case 'O':
        tio.c_cflag |= PARENB | PARODD;
        tio.c_iflag |= INPCK | ISTRIP;
        break;
    case 'E':
        tio.c_iflag |= INPCK | ISTRIP;
        tio.c_cflag |= PARENB;
        tio.c_cflag &= ~PARODD;
        break;
    default:
        break;
    }

    speed_t code = speed_code(speed);
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);

    if (stopbits == 2)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~CSTOPB;

    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        perror("serial tcsetattr error");
        return -1;
    }
    return 0;
}

int tread(int fd, void *buf, unsigned int len, long timeout)
{
    int r = wait_readable(fd, timeout);
    if (r < 0) {
        perror("select error\n");
        return -1;
    }
    if (r == 0)
        return 0;
    return static_cast<int>(read(fd, buf, len));
}

int treadn(int fd, void *buf, unsigned int len, long timeout)
{
    unsigned char *p = static_cast<unsigned char *>(buf);
    unsigned int total = 0;
    while (total < len) {
        int n = tread(fd, p + total, len - total, timeout);
        if (n < 1)
            break;
        total += static_cast<unsigned int>(n);
    }
    return static_cast<int>(total);
}

// The time-out bounds the silence between chunks, not the whole read. A read
// that returns nothing although select marked the descriptor (end of file, a
// hung-up line) ends the burst: waiting again would only spin.
int tread2(int fd, void *buf, unsigned int len, long timeout)
{
    unsigned char *p = static_cast<unsigned char *>(buf);
    unsigned int total = 0;
    if (len == 0)
        return 0;
    ssize_t n = read(fd, p, len);
    if (n < 0)
        return 0;
    total = static_cast<unsigned int>(n);
    while (total < len) {
        int r = wait_readable(fd, timeout);
        if (r < 0) {
            perror("select error\n");
            break;
        }
        if (r == 0)
            break;
        n = read(fd, p + total, len - total);
        if (n <= 0)
            break;
        total += static_cast<unsigned int>(n);
    }
    return static_cast<int>(total);
}
