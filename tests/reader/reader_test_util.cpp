#include "tests/reader/reader_test_util.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "core/slot.h"
#include "reader/reader_proto.h"
#include "reader/serial_port.h"

std::string hex(const unsigned char *p, int n)
{
    std::string s;
    char b[4];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

std::string hex(const bytes &b)
{
    return hex(b.data(), static_cast<int>(b.size()));
}

Capture::Capture(int fd) : fd_(fd)
{
    fflush(stdout);
    fflush(stderr);
    char path[] = "/tmp/gw-reader-capture-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

std::string Capture::text()
{
    if (done_)
        return text_;
    done_ = true;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    lseek(file_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(file_, buf, sizeof buf)) > 0)
        text_.append(buf, static_cast<size_t>(n));
    close(file_);
    return text_;
}

Capture::~Capture()
{
    text();
}

int queued(int fd)
{
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0)
        return -1;
    return n;
}

bool TestPty::open(bool configure)
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    name = ptsname(master);
    slave = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return false;
    if (configure)
        return set_port(slave, 9600, 8, 1, 'N') == 0;
    return true;
}

TestPty::~TestPty()
{
    if (slave >= 0)
        close(slave);
    if (master >= 0)
        close(master);
}

void TestPty::feed(const bytes &b)
{
    int before = queued(slave);
    ssize_t w = write(master, b.data(), b.size());
    (void)w;
    double deadline = now_ms() + 2000;
    while (queued(slave) < before + static_cast<int>(b.size()) && now_ms() < deadline)
        usleep(100);
}

bytes TestPty::drain(int wait_ms)
{
    bytes out;
    pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0)
        return out;
    // The slave's bytes reach the master through the tty layer; take what
    // comes within a short quiet time.
    unsigned char buf[1024];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
        if (poll(&p, 1, 20) <= 0)
            break;
    }
    return out;
}

bytes TestPty::request(int wait_ms)
{
    bytes out;
    unsigned char buf[FRAME_AREA];
    size_t want = 4;
    pollfd p = {master, POLLIN, 0};
    while (out.size() < want && poll(&p, 1, wait_ms) > 0) {
        ssize_t n = read(master, buf, want - out.size());
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
        if (want == 4 && out.size() >= 4)
            want = out[3] + 6u;
    }
    return out;
}

bool SimPort::start(const std::vector<std::string> &args, std::string *why, bool with_stdin)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-readersim")};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!sim.start(argv, true, with_stdin)) {
        *why = "cannot start " + argv[0];
        return false;
    }
    std::string line;
    if (!sim.wait_for("ready pty=", 10000, &line)) {
        *why = "no ready line from the simulator";
        return false;
    }
    size_t at = line.find("pty=") + 4;
    pty = line.substr(at, line.find(' ', at) - at);
    fd = open_port(pty.c_str());
    if (fd < 0 || set_port(fd, 9600, 8, 1, 'N') != 0) {
        *why = "cannot open " + pty;
        return false;
    }
    saved_fd1 = fd1;
    fd1 = fd;
    return true;
}

SimPort::~SimPort()
{
    if (fd >= 0) {
        fd1 = saved_fd1;
        close(fd);
    }
}

bool SimPort::command(const std::string &line, const std::string &confirm)
{
    return sim.write_stdin(line + "\n") && sim.wait_for(confirm, 5000);
}

bytes reply_frame(unsigned char st, const bytes &data)
{
    bytes f;
    f.reserve(data.size() + 7);
    f.push_back(0xAA);
    f.push_back(0x00);
    f.push_back(0x00);
    f.push_back(static_cast<unsigned char>(data.size() + 1));
    f.push_back(st);
    for (unsigned char b : data)
        f.push_back(b);
    unsigned char x = 0;
    for (size_t i = 1; i < f.size(); i++)
        x ^= f[i];
    f.push_back(x);
    f.push_back(0xBB);
    return f;
}
