#include "tests/e2e/board.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace
{

const char READER_LINK[] = "/dev/ttymxc2";

// True when /proc/net/<proto> shows a socket bound to port (in state, for TCP).
bool port_bound(const char *proto, int port, const char *state)
{
    std::ifstream in(std::string("/proc/net/") + proto);
    char want[8];
    snprintf(want, sizeof want, ":%04X", port);
    std::string sl, local, remote, st, rest;
    while (in >> sl >> local >> remote >> st && std::getline(in, rest))
        if (local.size() > 5 && local.substr(local.size() - 5) == want && (!state || st == state))
            return true;
    return false;
}

std::string reboot_log()
{
    const char *log = getenv("GW_REBOOT_LOG");
    return log ? log : "";
}

sockaddr_in ipv4(const char *addr, int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

} // namespace

bool in_sandbox()
{
    const char *s = getenv("GW_SANDBOX");
    return s && strcmp(s, "1") == 0;
}

bool Board::start_reader(const std::vector<std::string> &extra)
{
    // Line pacing is the reader tests' and the benchmark's business; here a
    // busy machine (sanitizers, emulation) must not stretch a reply past the
    // controller's 10 ms end-of-reply gap.
    std::vector<std::string> argv = {gw_bin("gatewarden-readersim"), "--link", READER_LINK,
                                     "--baud", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return reader.start(argv, true, true) && reader.wait_for("ready pty=", 10000);
}

bool Board::start_service(const std::vector<std::string> &extra)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-servicesim"), "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string line;
    return service.start(argv) && service.wait_for("listening ", 10000, &line) &&
           ask(cmd("CMD_SetUrlAddr", '"' + line.substr(line.find("listening ") + 10) + '"')) ==
               reply(1);
}

bool Board::start_daemon(const std::vector<std::string> &argv)
{
    netconf = read_file("/etc/eth0-setting");
    if (!write_file(reboot_log(), "") ||
        !daemon.start(argv.empty() ? std::vector<std::string>{gw_bin("gatewarden")} : argv))
        return false;
    for (double until = now_ms() + 15000; now_ms() < until && daemon.wait_exit(0) == -1;) {
        if (port_bound("tcp", 8001, "0A") && port_bound("udp", 8000, nullptr))
            return true;
        usleep(20000);
    }
    return false;
}

void Board::stop()
{
    if (daemon.running())
        daemon.stop(SIGKILL);
    if (service.running())
        service.stop(SIGTERM);
    if (reader.running() && (!reader.write_stdin("quit\n") || reader.wait_exit(2000) == -1))
        reader.stop(SIGTERM);
    if (in_sandbox())
        unlink(READER_LINK); // in the sandbox's own /dev
    if (!netconf.empty())
        write_file("/etc/eth0-setting", netconf);
}

std::string read_file(const std::string &path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

bool write_file(const std::string &path, const std::string &text)
{
    return in_sandbox() && std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> reboot_lines(size_t want)
{
    std::vector<std::string> lines;
    for (double until = now_ms() + 3000;; usleep(10000)) {
        std::istringstream in(read_file(reboot_log()));
        lines.clear();
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        if (lines.size() >= want || now_ms() > until)
            break;
    }
    return lines;
}

long long realtime_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string reply(int v)
{
    return "{\n\t\"response\":\t" + std::to_string(v) + "\n}";
}

std::string cmd(const std::string &name, const std::string &data)
{
    return R"({"Command":")" + name + '"' + (data.empty() ? "" : ",\"Data\":" + data) + "}";
}

int tcp_connect(int timeout_ms)
{
    sockaddr_in to = ipv4("127.0.0.1", 8001);
    for (double until = now_ms() + timeout_ms; now_ms() < until; usleep(20000)) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
            return fd;
        close(fd);
    }
    return -1;
}

bool send_all(int fd, const std::string &text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string read_reply(int fd, int timeout_ms, bool whole)
{
    std::string out;
    // Inner closing braces are indented; only the outermost one follows a bare line feed.
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

std::string ask(const std::string &request, int timeout_ms)
{
    int fd = tcp_connect(timeout_ms);
    std::string out = fd < 0 ? "<no connection>" : "";
    if (fd >= 0 && send_all(fd, request) && shutdown(fd, SHUT_WR) == 0)
        out = read_reply(fd, timeout_ms, false);
    close(fd);
    return out;
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

std::string Udp::port() const
{
    sockaddr_in a = {};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return std::to_string(ntohs(a.sin_port));
}

bool Udp::send(const std::string &text, const char *to, int port)
{
    sockaddr_in a = ipv4(to, port);
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

int count_lines(const Child &c, const std::string &needle, size_t from)
{
    return static_cast<int>(std::count_if(
        c.lines().begin() + static_cast<long>(std::min(from, c.lines().size())), c.lines().end(),
        [&](const std::string &l) { return l.find(needle) != std::string::npos; }));
}

std::vector<std::string> reader_requests(const Child &reader, size_t from)
{
    std::vector<std::string> out;
    for (size_t i = from; i < reader.lines().size(); i++) {
        size_t at = reader.lines()[i].find(" rx ");
        if (at != std::string::npos)
            out.push_back(reader.lines()[i].substr(at + 4));
    }
    return out;
}
