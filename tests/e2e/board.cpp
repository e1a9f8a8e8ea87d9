#include "tests/e2e/board.h"

#include <algorithm>
#include <csignal>
#include <fstream>
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

const std::string REBOOT_LOG = getenv("GW_REBOOT_LOG") ? getenv("GW_REBOOT_LOG") : "";

} // namespace

bool Board::start_reader(const std::vector<std::string> &extra)
{
    // Line pacing is the reader tests' and the benchmark's business; here a
    // busy machine (sanitizers, emulation) must not stretch a pause inside a
    // reply past the controller's gap limit (READER_GAP_MS).
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
    netconf = read_file(NETCONF);
    if (!write_file(REBOOT_LOG, "") ||
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
    unlink(READER_LINK); // in the sandbox's own /dev
    if (!netconf.empty())
        write_file(NETCONF, netconf);
}

std::vector<std::string> reboot_lines(size_t want)
{
    std::vector<std::string> lines;
    for (double until = now_ms() + 3000;; usleep(10000)) {
        std::istringstream in(read_file(REBOOT_LOG));
        lines.clear();
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        if (lines.size() >= want || now_ms() > until)
            break;
    }
    return lines;
}

std::string reply(int v)
{
    return "{\n\t\"response\":\t" + std::to_string(v) + "\n}";
}

std::string cmd(const std::string &name, const std::string &data)
{
    return R"({"Command":")" + name + '"' + (data.empty() ? "" : ",\"Data\":" + data) + "}";
}

std::string ask(const std::string &request, int timeout_ms, const char *src)
{
    int fd = src ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : tcp_connect(8001, timeout_ms);
    sockaddr_in from = ipv4(src ? src : "0.0.0.0", 0), to = ipv4("192.0.2.10", 8001);
    if (src && (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
                connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0))
        close(fd), fd = -1;
    std::string out = fd < 0 ? "<no connection>" : "";
    if (fd >= 0 && send_all(fd, request) && shutdown(fd, SHUT_WR) == 0)
        out = read_reply(fd, timeout_ms, false);
    close(fd);
    return out;
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
