// The serial port on a real pseudo-terminal: line settings read back, the
// messages of open and configure.
#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "reader/serial_port.h"
#include "tests/reader/reader_util.h"

// What set_port hands to tcsetattr is recorded: a pseudo-terminal keeps
// neither the character size nor the parity enable bit (it forces CS8 and
// no parity, and the C library then reports EINVAL), so those two are
// checked on the record and the pty gets what it can take. A failure can be
// injected; anything but TCSANOW fails.
namespace
{
termios last_set;
int set_calls = 0;
bool fail_next_set = false;
} // namespace

extern "C" int __real_tcsetattr(int fd, int act, const termios *t);
extern "C" int __wrap_tcsetattr(int fd, int act, const termios *t)
{
    last_set = *t;
    set_calls++;
    if (fail_next_set || act != TCSANOW) {
        fail_next_set = false;
        errno = EIO;
        return -1;
    }
    termios pty_form = *t;
    pty_form.c_cflag = (pty_form.c_cflag & ~(CSIZE | PARENB)) | CS8;
    return __real_tcsetattr(fd, act, &pty_form);
}

namespace
{

class Port : public OnPty
{
  protected:
    termios configured(long speed, int databits, int stopbits, char parity)
    {
        EXPECT_EQ(set_port(slave, speed, databits, stopbits, parity), 0);
        termios t;
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }
};

// Speed (in and out), character size, then the bits PARENB, PARODD, INPCK,
// ISTRIP and CSTOPB. Unknown speeds give 9600, unknown sizes CS5, unknown
// parity letters none, unknown stop bit counts one.
TEST_F(Port, LineSettings)
{
    const struct {
        long speed;
        int data, stop;
        char parity;
        speed_t baud;
        tcflag_t size;
        const char *bits;
    } rows[] = {
        {2400, 8, 1, 'N', B2400, CS8, "00000"},  {4800, 7, 2, 'O', B4800, CS7, "11111"},
        {9600, 6, 0, 'E', B9600, CS5, "10110"},  {115200, 0, 3, 'o', B115200, CS5, "00000"},
        {19200, 9, 2, 'X', B9600, CS5, "00001"}, {-1, 8, 1, 'N', B9600, CS8, "00000"},
    };
    for (auto &r : rows) {
        termios t = configured(r.speed, r.data, r.stop, r.parity);
        std::string bits = {char('0' + !!(last_set.c_cflag & PARENB)),
                            char('0' + !!(t.c_cflag & PARODD)), char('0' + !!(t.c_iflag & INPCK)),
                            char('0' + !!(t.c_iflag & ISTRIP)), char('0' + !!(t.c_cflag & CSTOPB))};
        EXPECT_EQ(cfgetospeed(&t), r.baud) << r.speed;
        EXPECT_EQ(cfgetispeed(&t), r.baud) << r.speed;
        EXPECT_EQ(last_set.c_cflag & CSIZE, r.size) << r.data << " data bits";
        EXPECT_EQ(bits, r.bits) << r.parity << r.stop;
    }
}

TEST_F(Port, OpenAndConfigureFailures)
{
    CaptureStderr();
    set_calls = 0;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(set_port(p[0], 9600, 8, 1, 'N'), -1);
    EXPECT_EQ(set_calls, 0);
    close(p[0]);
    close(p[1]);

    configured(4800, 8, 1, 'N');
    fail_next_set = true;
    EXPECT_EQ(set_port(slave, 115200, 8, 1, 'N'), -1);
    EXPECT_EQ(GetCapturedStderr(), "serial tcgetattr error: Inappropriate ioctl for device\n"
                                   "serial tcsetattr error: Input/output error\n");
    termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B4800) << "settings changed by a failed set_port";

    CaptureStdout();
    int fd = open_port(pty.name);
    EXPECT_EQ(open_port("/tmp/gw-no-such-dir/ttyNONE"), -1);
    EXPECT_EQ(GetCapturedStdout(), "can't open serial /tmp/gw-no-such-dir/ttyNONE\n");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_RDWR) << "non-blocking";
    close(fd);
}

} // namespace
