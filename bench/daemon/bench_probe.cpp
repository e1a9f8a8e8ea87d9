// What the benchmark reads from /proc, and its small network clients.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/daemon/bench.h"
#include "tools/support/support.h"

namespace
{

long file_kb(int pid, const char *file, const char *field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    size_t flen = strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, flen, field) == 0)
            return atol(line.c_str() + flen + 1);
    return -1;
}

long status_kb(int pid, const char *field)
{
    return file_kb(pid, "status", field);
}

int connect_to(in_addr_t addr, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = addr;
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes; false on a time-out.
bool read_to_end(int fd, std::string *out, int timeout_ms)
{
    double until = now_ms() + timeout_ms;
    for (;;) {
        int left = static_cast<int>(until - now_ms());
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return false;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return n == 0;
        if (out)
            out->append(buf, static_cast<size_t>(n));
    }
}

} // namespace

long rss_kb(int pid)
{
    return status_kb(pid, "VmRSS:");
}
long hwm_kb(int pid)
{
    return status_kb(pid, "VmHWM:");
}
long rss_anon_kb(int pid)
{
    return status_kb(pid, "RssAnon:");
}
long rss_file_kb(int pid)
{
    return status_kb(pid, "RssFile:");
}

int fd_count(int pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

double cpu_seconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = all.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream f(all.substr(paren + 2));
    std::string skip;
    for (int i = 0; i < 11; i++) // fields 3..13
        f >> skip;
    double utime, stime;
    f >> utime >> stime;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double service_round_trip(const std::string &url)
{
    // http://127.0.0.1:PORT/path
    int port = atoi(url.c_str() + url.find(':', 7) + 1);
    std::string path = url.substr(url.find('/', 7));
    std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:ns1=\"http://accessgate/\"><SOAP-ENV:Body><ns1:GrantAccess><Device>"
        "<DeviceId>0</DeviceId><In>true</In><Passnumber>0A1B2C3D\n</Passnumber></Device>"
        "</ns1:GrantAccess></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    std::string req =
        "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nUser-Agent: bench\r\nContent-Type: text/xml; charset=utf-8\r\n"
        "Content-Length: " +
        std::to_string(body.size()) +
        "\r\nConnection: close\r\nSOAPAction: \"http://accessgate/GrantAccess\"\r\n\r\n" + body;
    double t0 = now_ms();
    int fd = connect_to(htonl(INADDR_LOOPBACK), port);
    if (fd < 0)
        return -1;
    std::string answer;
    bool ok = send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size()) &&
              read_to_end(fd, &answer, 5000);
    double t = now_ms() - t0;
    close(fd);
    return ok && answer.find("OpenRelay") != std::string::npos ? t : -1;
}

bool tcp_ask(const std::string &request)
{
    int fd = connect_to(htonl(INADDR_LOOPBACK), 8001);
    if (fd < 0)
        return false;
    std::string answer;
    bool ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(request.size()) &&
              shutdown(fd, SHUT_WR) == 0 && read_to_end(fd, &answer, 5000);
    close(fd);
    return ok && answer.find("\"response\"") != std::string::npos;
}

int udp_open(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool udp_search(int fd)
{
    static const char search[] = R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})";
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(8000);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sendto(fd, search, strlen(search), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
        return false;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0)
        return false;
    char buf[64];
    return recv(fd, buf, sizeof buf, 0) == 18;
}

double median(std::vector<double> v)
{
    return percentile(std::move(v), 50);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

long pss_kb(int pid)
{
    return file_kb(pid, "smaps_rollup", "Pss:");
}

bool store_url(const std::string &url)
{
    sqlite3 *db = nullptr;
    std::string sql = "update readerInfo set serverUrl='" + url + "' where id=1";
    bool ok = sqlite3_open("/etc/reader.db", &db) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}
