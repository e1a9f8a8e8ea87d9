#include "tests/reader/reader_util.h"

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "reader/reader_exchange.h"
#include "reader/reader_frame.h"
#include "reader/reader_link.h"
#include "reader/reader_proto.h"
#include "reader/serial_port.h"

std::string hex(const bytes &b)
{
    std::string s;
    char x[4];
    for (unsigned char c : b)
        s += (snprintf(x, sizeof x, " %02X", c), x);
    return s.substr(s.empty() ? 0 : 1);
}

bytes unhex(const char *text)
{
    bytes b;
    unsigned int x;
    for (int n; sscanf(text, " %2x%n", &x, &n) == 1; text += n)
        b.push_back(static_cast<unsigned char>(x));
    return b;
}

bytes reply_frame(unsigned char st, const bytes &data)
{
    unsigned char f[FRAME_AREA];
    int n = frame_build(f, st, data.data(), static_cast<int>(data.size()));
    return n < 0 ? bytes() : bytes(f, f + n);
}

void OnPty::SetUp()
{
    ASSERT_EQ(pty_open(&pty), 0);
    fcntl(master, F_SETFL, 0); // the test reads and writes the master blocking
    ASSERT_EQ(set_port(slave, 9600, 8, 1, 'N'), 0);
    saved_fd1 = fd1;
    fd1 = slave;
    exchange_reset();
}

void OnPty::TearDown()
{
    request(0);
    fd1 = saved_fd1;
    pty_close(&pty);
}

int OnPty::queued()
{
    int n = 0;
    return ioctl(slave, FIONREAD, &n) == 0 ? n : -1;
}

void OnPty::answer(const bytes &b)
{
    request(0);
    responder = std::thread([this, b] {
        answered = read_request(2000);
        if (write(master, b.data(), b.size()) < 0)
            ADD_FAILURE() << "answer not written";
    });
}

std::string OnPty::request(int wait_ms)
{
    if (!responder.joinable())
        return read_request(wait_ms);
    responder.join();
    return answered;
}

std::string OnPty::read_request(int wait_ms)
{
    bytes out;
    unsigned char buf[FRAME_AREA];
    size_t want = FRAME_OFF_LEN + 1;
    pollfd p = {master, POLLIN, 0};
    while (out.size() < want && poll(&p, 1, wait_ms) > 0) {
        ssize_t n = read(master, buf, want - out.size());
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
        if (out.size() > FRAME_OFF_LEN)
            want = out[FRAME_OFF_LEN] + FRAME_OVERHEAD - 1u;
    }
    return hex(out);
}
