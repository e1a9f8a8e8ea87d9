// The serial port on a real pseudo-terminal: line settings read back, the
// messages of open and configure, and the three timed reads.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "reader/serial_port.h"
#include "tests/reader/reader_test_util.h"

// What set_port hands to tcsetattr is recorded: a pseudo-terminal keeps
// neither the character size nor the parity enable bit (it forces CS8 and
// no parity, and the C library then reports EINVAL), so those two are
// checked on the record and the pty gets what it can take. A failure can be
// injected.
namespace
{
termios last_set;
int last_action = -1;
int set_calls = 0;
int fail_next_set = 0;
} // namespace

extern "C" int __real_tcsetattr(int fd, int action, const termios *t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios *t)
{
    last_set = *t;
    last_action = action;
    set_calls++;
    if (fail_next_set) {
        fail_next_set = 0;
        errno = EIO;
        return -1;
    }
    termios pty_form = *t;
    pty_form.c_cflag = (pty_form.c_cflag & ~(CSIZE | PARENB)) | CS8;
    return __real_tcsetattr(fd, action, &pty_form);
}

namespace
{

class Port : public ::testing::Test
{
  protected:
    TestPty pty;
    void SetUp() override { ASSERT_TRUE(pty.open(false)); }

    termios configured(long speed, int databits, int stopbits, char parity)
    {
        EXPECT_EQ(set_port(pty.slave, speed, databits, stopbits, parity), 0);
        termios t;
        EXPECT_EQ(tcgetattr(pty.slave, &t), 0);
        return t;
    }

    // Writes chunks to the master side, each after its delay (ms).
    std::thread writer(std::vector<std::pair<int, std::string>> chunks)
    {
        int fd = pty.master;
        return std::thread([fd, chunks] {
            for (auto &c : chunks) {
                usleep(static_cast<useconds_t>(c.first) * 1000);
                ssize_t w = write(fd, c.second.data(), c.second.size());
                (void)w;
            }
        });
    }
};

TEST_F(Port, SpeedTable)
{
    struct {
        long arg;
        speed_t code;
    } table[] = {{2400, B2400},  {4800, B4800}, {9600, B9600}, {115200, B115200},
                 {19200, B9600}, {0, B9600},    {-1, B9600},   {38400, B9600}};
    for (auto &s : table) {
        termios t = configured(s.arg, 8, 1, 'N');
        EXPECT_EQ(cfgetospeed(&t), s.code) << s.arg;
        EXPECT_EQ(cfgetispeed(&t), s.code) << s.arg;
        EXPECT_EQ(cfgetispeed(&last_set), s.code) << s.arg;
        EXPECT_EQ(cfgetospeed(&last_set), s.code) << s.arg;
    }
}

TEST_F(Port, CharacterSizeParityAndStopBits)
{
    struct {
        int bits;
        tcflag_t size;
    } sizes[] = {{8, CS8}, {7, CS7}, {6, CS5}, {5, CS5}, {0, CS5}, {9, CS5}};
    for (auto &s : sizes) {
        configured(9600, s.bits, 1, 'N');
        EXPECT_EQ(last_set.c_cflag & CSIZE, s.size) << s.bits << " data bits";
    }

    struct {
        char letter;
        bool parenb, parodd, check; // check: INPCK and ISTRIP
    } parities[] = {{'N', false, false, false}, {'O', true, true, true},
                    {'E', true, false, true},   {'n', false, false, false},
                    {'o', false, false, false}, {'X', false, false, false}};
    for (auto &p : parities) {
        termios t = configured(9600, 8, 1, p.letter);
        EXPECT_EQ(!!(last_set.c_cflag & PARENB), p.parenb) << p.letter;
        EXPECT_EQ(!!(t.c_cflag & PARODD), p.parodd) << p.letter;
        EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP), p.check ? (INPCK | ISTRIP) : 0u) << p.letter;
    }

    for (int stop : {1, 2, 0, 3}) {
        termios t = configured(9600, 8, stop, 'N');
        EXPECT_EQ(!!(t.c_cflag & CSTOPB), stop == 2) << stop << " stop bits";
    }
}

TEST_F(Port, LineIsRawWhateverItWasBefore)
{
    termios cooked;
    ASSERT_EQ(tcgetattr(pty.slave, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_iflag |= ICRNL | IXON | IXOFF;
    cooked.c_cflag |= CRTSCTS;
    cooked.c_cc[VMIN] = 5;
    cooked.c_cc[VTIME] = 3;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &cooked), 0);

    termios t = configured(9600, 8, 1, 'N');
    EXPECT_EQ(last_action, TCSANOW);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Every byte passes unchanged, both ways.
    const bytes in = {'\r', '\n', 0x03, 0x11, 0x13, 0x7F, 0x00, 0xFF};
    pty.feed(in);
    unsigned char buf[32];
    EXPECT_EQ(tread(pty.slave, buf, sizeof buf, 1000), static_cast<int>(in.size()));
    EXPECT_EQ(hex(buf, static_cast<int>(in.size())), hex(in));
    ASSERT_EQ(write(pty.slave, "\n", 1), 1);
    EXPECT_EQ(hex(pty.drain(1000)), "0A");
}

TEST_F(Port, PendingInputIsDiscarded)
{
    configured(9600, 8, 1, 'N');
    pty.feed({1, 2, 3});
    ASSERT_EQ(queued(pty.slave), 3);
    configured(9600, 8, 1, 'N');
    EXPECT_EQ(queued(pty.slave), 0);
}

TEST_F(Port, ConfigureFailures)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    set_calls = 0;
    {
        Capture se(2);
        EXPECT_EQ(set_port(p[0], 9600, 8, 1, 'N'), -1);
        EXPECT_EQ(se.text(), "serial tcgetattr error: Inappropriate ioctl for device\n");
    }
    EXPECT_EQ(set_calls, 0);
    close(p[0]);
    close(p[1]);

    configured(4800, 8, 1, 'N');
    fail_next_set = 1;
    Capture se(2);
    EXPECT_EQ(set_port(pty.slave, 115200, 8, 1, 'N'), -1);
    EXPECT_EQ(se.text(), "serial tcsetattr error: Input/output error\n");
    termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B4800) << "settings changed by a failed set_port";
}

TEST(Open, MissingDevice)
{
    char dir[] = "/tmp/gw-reader-open-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/ttyNONE";
    Capture so(1);
    EXPECT_EQ(open_port(path.c_str()), -1);
    EXPECT_EQ(so.text(), "can't open serial " + path);
    rmdir(dir);
}

TEST_F(Port, OpenGivesABlockingDescriptor)
{
    Capture so(1);
    int fd = open_port(pty.name.c_str());
    EXPECT_EQ(so.text(), "");
    ASSERT_GE(fd, 0);
    int fl = fcntl(fd, F_GETFL);
    EXPECT_EQ(fl & O_NONBLOCK, 0);
    EXPECT_EQ(fl & O_ACCMODE, O_RDWR);
    close(fd);
}

TEST_F(Port, TreadWaitsOnceAndReadsOnce)
{
    ASSERT_EQ(set_port(pty.slave, 9600, 8, 1, 'N'), 0);
    unsigned char buf[16];
    double t0 = now_ms();
    EXPECT_EQ(tread(pty.slave, buf, sizeof buf, 0), 0);
    EXPECT_LT(now_ms() - t0, 100);

    pty.feed({1, 2, 3, 4, 5});
    EXPECT_EQ(tread(pty.slave, buf, 3, 0), 3);
    EXPECT_EQ(queued(pty.slave), 2);

    Capture se(2);
    EXPECT_EQ(tread(-1, buf, 3, 10), -1);
    EXPECT_EQ(se.text(), "select error\n: Bad file descriptor\n");
}

TEST_F(Port, TreadnGathersChunksWithinTheTimeout)
{
    ASSERT_EQ(set_port(pty.slave, 9600, 8, 1, 'N'), 0);
    unsigned char buf[16];
    pty.feed({'a', 'b', 'c'});
    std::thread w = writer({{40, "def"}, {40, "ghi"}});
    EXPECT_EQ(treadn(pty.slave, buf, 9, 1000), 9);
    w.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 9), "abcdefghi");

    // A chunk that comes later than the time-out is not waited for.
    pty.feed({'a', 'b'});
    std::thread w2 = writer({{600, "cd"}});
    EXPECT_EQ(treadn(pty.slave, buf, 4, 100), 2);
    w2.join();
    EXPECT_EQ(treadn(pty.slave, buf, 4, 100), 2);
}

TEST_F(Port, Tread2EndsAtSilence)
{
    ASSERT_EQ(set_port(pty.slave, 9600, 8, 1, 'N'), 0);
    unsigned char buf[64];

    double t0 = now_ms();
    EXPECT_EQ(tread2(pty.slave, buf, sizeof buf, 80), 0);
    EXPECT_GE(now_ms() - t0, 79);

    // Chunks closer than the time-out are joined (up to the length asked for).
    pty.feed({'a', 'b', 'c'});
    std::thread w = writer({{30, "de"}, {30, "fgh"}});
    EXPECT_EQ(tread2(pty.slave, buf, 8, 1000), 8);
    w.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 8), "abcdefgh");

    // A gap as long as the time-out ends the read; the rest stays queued.
    pty.feed({'a', 'b', 'c'});
    std::thread w2 = writer({{500, "xyz"}});
    EXPECT_EQ(tread2(pty.slave, buf, sizeof buf, 60), 3);
    w2.join();
    EXPECT_EQ(tread2(pty.slave, buf, 3, 1000), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 3), "xyz");

    // With the length in, it does not wait for silence.
    pty.feed({1, 2, 3, 4, 5, 6});
    t0 = now_ms();
    EXPECT_EQ(tread2(pty.slave, buf, 4, 5000), 4);
    EXPECT_LT(now_ms() - t0, 2500);
    EXPECT_EQ(queued(pty.slave), 2);
}

TEST_F(Port, Tread2StopsOnAHungUpLine)
{
    ASSERT_EQ(set_port(pty.slave, 9600, 8, 1, 'N'), 0);
    pty.feed({7, 8});
    close(pty.master);
    pty.master = -1;
    unsigned char buf[16];
    double t0 = now_ms();
    int n = tread2(pty.slave, buf, sizeof buf, 200);
    EXPECT_LE(n, 2);
    EXPECT_LT(now_ms() - t0, 2000);
}

} // namespace
