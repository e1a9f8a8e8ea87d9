// Serial port of the reader module: open and raw configuration.
#include "reader/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "common/log.h"

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
        log_line(LOG_ERR, "serial fcntl failed!");
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
