#include "tests/e2e/board.h"

#include <algorithm>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <sqlite3.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const char READER_LINK[] = "/dev/ttymxc2";
const char READER_DB[] = "/etc/reader.db";

// True when /proc/net/<proto> shows a socket bound to port (in state, for TCP).
bool port_bound(const char *proto, int port, const char *state)
{
    std::ifstream in(std::string("/proc/net/") + proto);
    std::string line;
    char want[8];
    snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st;
        f >> sl >> local >> remote >> st;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0 &&
            (!state || st == state))
            return true;
    }
    return false;
}

} // namespace

bool in_sandbox()
{
    const char *s = getenv("GW_SANDBOX");
    return s && strcmp(s, "1") == 0;
}

Board::~Board()
{
    stop();
}

bool Board::start_reader(const std::vector<std::string> &extra)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-readersim"), "--link", READER_LINK};
    argv.insert(argv.end(), extra.begin(), extra.end());
    // Line pacing is the reader tests' and the benchmark's business; here a
    // busy machine (sanitizers, emulation) must not stretch a reply past the
    // controller's 10 ms end-of-reply gap.
    if (std::find(extra.begin(), extra.end(), "--baud") == extra.end()) {
        argv.push_back("--baud");
        argv.push_back("0");
    }
    if (!reader.start(argv, true, true))
        return false;
    return reader.wait_for("ready pty=", 10000);
}

bool Board::start_service(const std::vector<std::string> &extra, bool store_url)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-servicesim"), "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string line;
    if (!service.start(argv) || !service.wait_for("listening ", 10000, &line))
        return false;
    url = line.substr(line.find("listening ") + 10);
    if (store_url)
        return db_exec("update readerInfo set serverUrl='" + url + "' where id=1");
    return true;
}

bool Board::start_daemon()
{
    if (!daemon.start({gw_bin("gatewarden")}))
        return false;
    double until = now_ms() + 15000;
    while (now_ms() < until) {
        if (port_bound("tcp", 8001, "0A") && port_bound("udp", 8000, nullptr))
            return true;
        if (daemon.wait_exit(0) != -1)
            return false;
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
    if (reader.running()) {
        reader.write_stdin("quit\n");
        if (reader.wait_exit(2000) == -1)
            reader.stop(SIGTERM);
    }
    if (in_sandbox())
        unlink(READER_LINK); // in the sandbox's own /dev
}

void Board::drain()
{
    reader.drain();
    service.drain();
    daemon.drain();
}

bool db_exec(const std::string &sql)
{
    sqlite3 *db = nullptr;
    if (!in_sandbox() || sqlite3_open(READER_DB, &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc == SQLITE_OK;
}

namespace
{

std::string db_column(const char *sql)
{
    sqlite3 *db = nullptr;
    std::string out = "<none>";
    if (sqlite3_open(READER_DB, &db) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

} // namespace

std::string db_url()
{
    return db_column("select serverUrl from readerInfo where id=1");
}

int db_dev_addr()
{
    return atoi(db_column("select devAddr from readerInfo where id=1").c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string &path, const std::string &text)
{
    if (!in_sandbox())
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::vector<std::string> reboot_lines()
{
    std::vector<std::string> lines;
    const char *log = getenv("GW_REBOOT_LOG");
    if (!log)
        return lines;
    std::istringstream in(read_file(log));
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

long long realtime_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string reply(int v)
{
    return "{\n\t\"response\":\t" + std::to_string(v) + "\n}";
}

int tcp_connect(int timeout_ms)
{
    double until = now_ms() + timeout_ms;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(8001);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
            return fd;
        close(fd);
        if (now_ms() > until)
            return -1;
        usleep(20000);
    }
}

bool send_all(int fd, const std::string &text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

namespace
{

// Reads into out until done(out), the peer closes or the time is up.
template <class Done> void read_until(int fd, std::string &out, int timeout_ms, Done done)
{
    double until = now_ms() + timeout_ms;
    while (!done(out)) {
        int left = static_cast<int>(until - now_ms());
        if (left <= 0)
            return;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            return;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        out.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

std::string read_reply(int fd, int timeout_ms)
{
    std::string out;
    // Inner closing braces are indented; only the outermost one follows a bare line feed.
    read_until(fd, out, timeout_ms, [](const std::string &s) {
        return s.size() >= 2 && s.compare(s.size() - 2, 2, "\n}") == 0;
    });
    return out;
}

std::string ask(const std::string &request, int timeout_ms)
{
    int fd = tcp_connect(timeout_ms);
    if (fd < 0)
        return "<no connection>";
    std::string out;
    if (send_all(fd, request)) {
        shutdown(fd, SHUT_WR);
        read_until(fd, out, timeout_ms, [](const std::string &) { return false; });
    }
    close(fd);
    return out;
}

int udp_open(int *port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

bool udp_send(int fd, const std::string &text, const char *to, int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, to, &a.sin_addr);
    return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
           static_cast<ssize_t>(text.size());
}

bool udp_recv(int fd, std::string &data, int timeout_ms, in_addr *dst, sockaddr_in *from)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char buf[2048];
    char ctl[256];
    sockaddr_in src = {};
    iovec iov = {buf, sizeof buf};
    msghdr m = {};
    m.msg_name = &src;
    m.msg_namelen = sizeof src;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    ssize_t n = recvmsg(fd, &m, 0);
    if (n < 0)
        return false;
    data.assign(buf, static_cast<size_t>(n));
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (dst && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo pi;
            memcpy(&pi, CMSG_DATA(c), sizeof pi);
            *dst = pi.ipi_addr;
        }
    }
    if (from)
        *from = src;
    return true;
}

int count_lines(const Child &c, const std::string &needle)
{
    int n = 0;
    for (auto &l : c.lines())
        n += l.find(needle) != std::string::npos;
    return n;
}

std::vector<std::string> reader_requests(const Child &reader)
{
    std::vector<std::string> out;
    for (auto &l : reader.lines()) {
        size_t at = l.find(" rx ");
        if (at != std::string::npos)
            out.push_back(l.substr(at + 1));
    }
    return out;
}

int open_fds(int pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}
