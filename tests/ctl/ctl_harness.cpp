#include "tests/ctl/ctl_harness.h"
#include "tests/support/process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// The controller ends a request at this much silence.
static const int REQUEST_GAP_MS = 200;

CtlResult run_ctl(const std::vector<std::string> &args, int limit_ms)
{
    std::vector<std::string> argv;
    const char *emu = getenv("GW_EMULATOR");
    if (emu && *emu) {
        std::istringstream words(emu);
        for (std::string w; words >> w;)
            argv.push_back(w);
    }
    argv.push_back(gw_bin("gatewardenctl"));
    argv.insert(argv.end(), args.begin(), args.end());

    CtlResult r;
    int outp[2], errp[2];
    if (pipe2(outp, O_CLOEXEC) != 0 || pipe2(errp, O_CLOEXEC) != 0)
        return r;
    double t0 = now_ms();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outp[1], 1);
        dup2(errp[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, 0);
        std::vector<char *> cargv;
        for (auto &a : argv)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(outp[1]);
    close(errp[1]);
    pollfd p[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    std::string *dst[2] = {&r.out, &r.err};
    int open_fds = 2;
    bool killed = false;
    while (open_fds > 0) {
        int left = static_cast<int>(t0 + limit_ms - now_ms());
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(p, 2, left) < 0 && errno != EINTR)
            break;
        for (int k = 0; k < 2; k++) {
            if (p[k].fd < 0 || !(p[k].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(p[k].fd, buf, sizeof buf);
            if (n > 0) {
                dst[k]->append(buf, static_cast<size_t>(n));
            } else {
                close(p[k].fd);
                p[k].fd = -1;
                open_fds--;
            }
        }
    }
    for (auto &q : p)
        if (q.fd >= 0)
            close(q.fd);
    int st = 0;
    waitpid(pid, &st, 0);
    r.ms = now_ms() - t0;
    r.status = !killed && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string plain_reply(int value)
{
    return "{\n\t\"response\":\t" + std::to_string(value) + "\n}";
}

FakeController::FakeController()
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        listen(listen_fd_, 10) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FakeController::~FakeController()
{
    stop_ = true;
    thread_.join();
    close(listen_fd_);
}

void FakeController::script(std::vector<FakeAnswer> answers)
{
    std::lock_guard<std::mutex> lock(mu_);
    answers_ = std::move(answers);
}

std::vector<FakeSeen> FakeController::seen(size_t want)
{
    double deadline = now_ms() + 5000;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (seen_.size() >= want || now_ms() > deadline)
                return seen_;
        }
        usleep(10000);
    }
}

// Waits for fd to become readable, checking stop every 50 ms: 1 readable,
// 0 after timeout_ms (or stop), -1 failure.
static int wait_readable(int fd, int timeout_ms, const std::atomic<bool> &stop)
{
    double deadline = now_ms() + timeout_ms;
    while (!stop) {
        int left = static_cast<int>(deadline - now_ms());
        if (left <= 0)
            return 0;
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, left < 50 ? left : 50);
        if (r != 0)
            return r < 0 ? -1 : 1;
    }
    return 0;
}

void FakeController::serve()
{
    while (!stop_) {
        if (wait_readable(listen_fd_, 100000, stop_) <= 0)
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int index = connections_++;
        FakeAnswer answer;
        answer.chunks = {plain_reply(1)};
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (index < static_cast<int>(answers_.size()))
                answer = answers_[index];
        }
        FakeSeen seen;
        // The request: from its first byte until 200 ms of silence.
        if (wait_readable(fd, 10000, stop_) > 0) {
            char buf[2048];
            for (;;) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    seen.eof_in_request = true;
                    break;
                }
                seen.request.append(buf, static_cast<size_t>(n));
                if (wait_readable(fd, REQUEST_GAP_MS, stop_) <= 0)
                    break;
            }
        }
        if (answer.silent) {
            // Hold the connection until the client gives up.
            while (wait_readable(fd, 100000, stop_) == 0 && !stop_) {
            }
        } else {
            for (size_t k = 0; k < answer.chunks.size(); k++) {
                if (k > 0)
                    usleep(answer.gap_ms * 1000);
                send(fd, answer.chunks[k].data(), answer.chunks[k].size(), MSG_NOSIGNAL);
            }
            char c;
            if (!answer.hang_up)
                seen.client_closed = wait_readable(fd, 5000, stop_) > 0 && recv(fd, &c, 1, 0) == 0;
        }
        close(fd);
        std::lock_guard<std::mutex> lock(mu_);
        seen_.push_back(seen);
    }
}
