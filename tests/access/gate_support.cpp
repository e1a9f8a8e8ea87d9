#include "tests/access/gate_support.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "access/accessGateClient.h"
#include "access/access_config.h"
#include "core/slot.h"
#include "settings/readerdb.h"

namespace
{

std::string read_all(int fd)
{
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

} // namespace

GateRun run_gate(const std::string &card)
{
    GateRun run = {};
    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(1), saved_err = dup(2);
    int out = memfd_create("gate-out", MFD_CLOEXEC), err = memfd_create("gate-err", MFD_CLOEXEC);
    dup2(out, 1);
    dup2(err, 2);

    std::vector<char> arg(card.begin(), card.end());
    arg.push_back('\0');
    double t0 = now_ms();
    run.rc = accessGate(arg.data());
    run.ms = now_ms() - t0;

    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    run.out = read_all(out);
    run.err = read_all(err);
    close(out);
    close(err);
    return run;
}

void slot_reset()
{
    pthread_mutex_lock(&mutex);
    opt = SLOT_IDLE;
    actLight = actRelay = actBuzzer = UNTOUCHED;
    pthread_mutex_unlock(&mutex);
}

SlotState slot_state()
{
    pthread_mutex_lock(&mutex);
    SlotState s = {opt, actLight, actRelay, actBuzzer};
    pthread_mutex_unlock(&mutex);
    return s;
}

bool Service::start(const std::vector<std::string> &args, bool store)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-servicesim"), "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string line;
    if (!child.start(argv, false) || !child.wait_for("listening ", 10000, &line))
        return false;
    url = line.substr(line.find("listening ") + 10);
    std::vector<char> text(url.begin(), url.end());
    text.push_back('\0');
    return !store || writeUrlConfig(text.data()) == 0;
}

std::vector<std::string> Service::requests(int wait_ms)
{
    std::string line;
    while (child.read_line(line, wait_ms)) {
    }
    std::vector<std::string> out;
    for (const std::string &l : child.lines()) {
        if (l.find(" request ") != std::string::npos)
            out.push_back(l.substr(l.find(" request ") + 1));
    }
    return out;
}

std::string test_cert_dir()
{
    static std::string dir;
    if (dir.empty()) {
        char tmpl[] = "/tmp/gw-access-cert.XXXXXX";
        if (!mkdtemp(tmpl))
            return "";
        std::string cmd = std::string(GW_SOURCE_DIR) + "/scripts/make-test-cert " + tmpl;
        if (system(cmd.c_str()) != 0)
            return "";
        dir = tmpl;
        // Removed when the test program ends.
        static struct Remover {
            ~Remover() { system(("rm -rf " + dir).c_str()); }
        } remover;
    }
    return dir;
}

std::string soap_envelope(const std::string &body_content)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:ns1=\"" ACCESS_NS1_URI "\"><SOAP-ENV:Body>" +
           body_content + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string answer_xml(const std::string &access_granted_content)
{
    return soap_envelope("<ns1:GrantAccessResponse><AccessGranted>" + access_granted_content +
                         "</AccessGranted></ns1:GrantAccessResponse>");
}

std::string http_reply(int code, const std::string &body, const std::string &content_type)
{
    return "HTTP/1.1 " + std::to_string(code) + " Status\r\nContent-Type: " + content_type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

RawPeer::RawPeer(std::string reply) : reply_(std::move(reply))
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
        listen(listen_fd_, 4) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
}

RawPeer::~RawPeer()
{
    request();
    close(listen_fd_);
}

std::string RawPeer::url() const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/ws/AccessGate";
}

std::string RawPeer::request()
{
    if (thread_.joinable())
        thread_.join();
    return request_;
}

std::pair<std::string, std::string> RawPeer::split()
{
    std::string r = request();
    size_t end = r.find("\r\n\r\n");
    if (end == std::string::npos)
        return {r, ""};
    return {r.substr(0, end + 2), r.substr(end + 4)};
}

void RawPeer::serve()
{
    pollfd p = {listen_fd_, POLLIN, 0};
    if (port_ == 0 || poll(&p, 1, 10000) != 1)
        return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    double deadline = now_ms() + 5000;
    size_t want = std::string::npos;
    while (now_ms() < deadline) {
        size_t head_end = request_.find("\r\n\r\n");
        if (want == std::string::npos && head_end != std::string::npos) {
            std::string len = header_value(request_.substr(0, head_end + 2), "content-length");
            want = head_end + 4 + static_cast<size_t>(atol(len.c_str()));
        }
        if (want != std::string::npos && request_.size() >= want)
            break;
        pollfd c = {fd, POLLIN, 0};
        if (poll(&c, 1, 200) != 1)
            continue;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        request_.append(buf, static_cast<size_t>(n));
    }
    send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    // Until the client has read the answer and closed.
    pollfd c = {fd, POLLIN, 0};
    char sink[256];
    while (poll(&c, 1, 3000) == 1 && recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
}

std::string header_value(const std::string &header, const std::string &name)
{
    std::string lower;
    for (char c : header)
        lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos)
        return "<none>";
    size_t start = at + 3 + name.size();
    size_t end = header.find("\r\n", start);
    std::string v = header.substr(start, end - start);
    while (!v.empty() && v[0] == ' ')
        v.erase(0, 1);
    return v;
}

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (readdir(d))
        n++;
    closedir(d);
    return n - 3; // ".", ".." and the directory's own descriptor
}

long rss_kb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return atol(line.c_str() + 6);
    }
    return -1;
}
