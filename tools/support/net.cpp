#include <algorithm>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tools/support/support.h"

sockaddr_in ipv4(const char *addr, int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

int tcp_connect(int port, int timeout_ms, const char *addr)
{
    sockaddr_in to = ipv4(addr, port);
    for (double until = now_ms() + timeout_ms;; usleep(20000)) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
            return fd;
        close(fd);
        if (now_ms() >= until)
            return -1;
    }
}

bool send_all(int fd, const std::string &text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string read_reply(int fd, int timeout_ms, bool whole)
{
    std::string out;
    for (double until = now_ms() + timeout_ms;;) {
        if (whole && out.size() >= 2 && out.compare(out.size() - 2, 2, "\n}") == 0)
            return out;
        pollfd p = {fd, POLLIN, 0};
        char buf[4096];
        ssize_t n = poll(&p, 1, std::max(0, static_cast<int>(until - now_ms()))) > 0
                        ? recv(fd, buf, sizeof buf, 0)
                        : 0;
        if (n <= 0)
            return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

int tcp_listen(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = ipv4("127.0.0.1", 0);
    socklen_t len = sizeof a;
    sockaddr *sa = reinterpret_cast<sockaddr *>(&a);
    if (fd < 0 || bind(fd, sa, len) != 0 || listen(fd, 8) != 0 || getsockname(fd, sa, &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

int tcp_full_listener(int *port, int fill[3])
{
    int l = tcp_listen(port);
    if (l < 0 || listen(l, 0) != 0) {
        close(l);
        return -1;
    }
    sockaddr_in a = ipv4("127.0.0.1", *port);
    for (int i = 0; i < 3; i++) {
        fill[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fill[i], reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    return l;
}

Udp::Udp(const char *addr) : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in a = ipv4(addr, 0);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
}

Udp::~Udp()
{
    close(fd);
}

int Udp::port() const
{
    sockaddr_in a = {};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

bool Udp::send(const std::string &text, const char *to, int to_port)
{
    sockaddr_in a = ipv4(to, to_port);
    return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
           static_cast<ssize_t>(text.size());
}

bool Udp::recv(std::string &data, int timeout_ms, in_addr *dst, sockaddr_in *from)
{
    pollfd p = {fd, POLLIN, 0};
    char buf[2048];
    alignas(cmsghdr) char ctl[256];
    iovec iov = {buf, sizeof buf};
    sockaddr_in src = {};
    msghdr m = {&src, sizeof src, &iov, 1, ctl, sizeof ctl, 0};
    ssize_t n = poll(&p, 1, timeout_ms) > 0 ? recvmsg(fd, &m, 0) : -1;
    data.assign(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); n >= 0 && c && dst; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
            *dst = reinterpret_cast<in_pktinfo *>(CMSG_DATA(c))->ipi_addr;
    }
    if (from)
        *from = src;
    return n >= 0;
}

int unix_dgram_bind(const std::string &path)
{
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path)
        return -1;
    path.copy(sa.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

std::string unix_dgram_recv(int fd, int timeout_ms)
{
    pollfd p = {fd, POLLIN, 0};
    char buf[512];
    ssize_t n = poll(&p, 1, timeout_ms) > 0 ? recv(fd, buf, sizeof buf, 0) : -1;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}
