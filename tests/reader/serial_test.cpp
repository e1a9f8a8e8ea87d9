// The serial port on a real pseudo-terminal: line settings read back, the
// messages of open and configure, and the three timed reads.
#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <thread>
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
    unsigned char buf[64];

    termios configured(long speed, int databits, int stopbits, char parity)
    {
        EXPECT_EQ(set_port(slave, speed, databits, stopbits, parity), 0);
        termios t;
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }
    // Writes text to the master side after delay_ms.
    std::thread later(int delay_ms, std::string text)
    {
        return std::thread([fd = master, delay_ms, text] {
            usleep(static_cast<useconds_t>(delay_ms) * 1000);
            ssize_t w = write(fd, text.data(), text.size());
            (void)w;
        });
    }
    std::string got(int n) { return std::string(reinterpret_cast<char *>(buf), n); }
};

TEST_F(Port, LineSettings)
{
    const std::pair<long, speed_t> speeds[] = {{2400, B2400},     {4800, B4800},  {9600, B9600},
                                               {115200, B115200}, {19200, B9600}, {-1, B9600}};
    for (auto &s : speeds) {
        termios t = configured(s.first, 8, 1, 'N');
        EXPECT_EQ(cfgetospeed(&t), s.second) << s.first;
        EXPECT_EQ(cfgetispeed(&t), s.second) << s.first;
    }
    const std::pair<int, tcflag_t> sizes[] = {{8, CS8}, {7, CS7}, {6, CS5}, {0, CS5}, {9, CS5}};
    for (auto &s : sizes) {
        configured(9600, s.first, 1, 'N');
        EXPECT_EQ(last_set.c_cflag & CSIZE, s.second) << s.first << " data bits";
    }
    // Parity letter: PARENB, PARODD, INPCK and ISTRIP.
    const std::pair<char, const char *> parities[] = {
        {'N', "0000"}, {'O', "1111"}, {'E', "1011"}, {'o', "0000"}, {'X', "0000"}};
    for (auto &p : parities) {
        termios t = configured(9600, 8, 1, p.first);
        std::string bits = {char('0' + !!(last_set.c_cflag & PARENB)),
                            char('0' + !!(t.c_cflag & PARODD)), char('0' + !!(t.c_iflag & INPCK)),
                            char('0' + !!(t.c_iflag & ISTRIP))};
        EXPECT_EQ(bits, p.second) << p.first;
    }
    for (int stop : {1, 2, 0, 3})
        EXPECT_EQ(!!(configured(9600, 8, stop, 'N').c_cflag & CSTOPB), stop == 2) << stop;
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

// tread: one wait, one read. treadn: chunks as long as each comes within the
// time-out. tread2: chunks while the gaps stay shorter than the time-out.
TEST_F(Port, TimedReads)
{
    double t0 = now_ms();
    EXPECT_EQ(tread(slave, buf, sizeof buf, 0), 0);
    EXPECT_LT(now_ms() - t0, 100);
    feed({1, 2, 3, 4, 5});
    EXPECT_EQ(tread(slave, buf, 3, 0), 3);
    EXPECT_EQ(tread(slave, buf, sizeof buf, 0), 2);
    CaptureStderr();
    EXPECT_EQ(tread(-1, buf, 3, 10), -1);
    EXPECT_EQ(GetCapturedStderr(), "select error\n: Bad file descriptor\n");

    feed({'a', 'b', 'c'});
    std::thread w1 = later(40, "def"), w2 = later(80, "ghi");
    EXPECT_EQ(treadn(slave, buf, 9, 1000), 9);
    EXPECT_EQ(got(9), "abcdefghi");
    std::thread w3 = later(600, "jk");
    EXPECT_EQ(treadn(slave, buf, 4, 100), 0);
    w3.join();
    EXPECT_EQ(treadn(slave, buf, 4, 100), 2);

    t0 = now_ms();
    EXPECT_EQ(tread2(slave, buf, sizeof buf, 80), 0);
    EXPECT_GE(now_ms() - t0, 79);
    feed({'a', 'b', 'c'});
    std::thread w4 = later(30, "de"), w5 = later(60, "fgh"), w6 = later(800, "xyz");
    EXPECT_EQ(tread2(slave, buf, sizeof buf, 300), 8);
    EXPECT_EQ(got(8), "abcdefgh");
    for (std::thread *w : {&w1, &w2, &w4, &w5, &w6})
        w->join();
    t0 = now_ms();
    EXPECT_EQ(tread2(slave, buf, 2, 5000), 2);
    EXPECT_LT(now_ms() - t0, 2500) << "waited for silence with the length in";
    EXPECT_EQ(got(2) + std::to_string(queued()), "xy1");

    // A hung-up line ends the read at once.
    close(master);
    master = -1;
    t0 = now_ms();
    EXPECT_LE(tread2(slave, buf, sizeof buf, 200), 1);
    EXPECT_LT(now_ms() - t0, 2000);
}

} // namespace
