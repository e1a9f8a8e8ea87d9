#include "tools/support/support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

std::string gw_bin(const std::string &name)
{
    const char *dir = std::getenv("GW_BIN_DIR");
    return std::string(dir && *dir ? dir : GW_BUILD_BIN_DIR) + "/" + name;
}

namespace
{

// argv behind the emulator's words when argv[0] is a program of the project.
std::vector<std::string> emulated(const std::vector<std::string> &argv)
{
    std::vector<std::string> args;
    const char *emu = std::getenv("GW_EMULATOR");
    std::string bindir = gw_bin("");
    if (emu && *emu && argv[0].compare(0, bindir.size(), bindir) == 0) {
        std::istringstream words(emu);
        for (std::string w; words >> w;)
            args.push_back(w);
    }
    args.insert(args.end(), argv.begin(), argv.end());
    return args;
}

[[noreturn]] void exec(const std::vector<std::string> &args)
{
    std::vector<char *> cargv;
    for (auto &a : args)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    execvp(cargv[0], cargv.data());
    _exit(127);
}

} // namespace

int gw_spawn(const std::vector<std::string> &argv, int *out, int *in)
{
    std::vector<std::string> args = emulated(argv);
    int p[2] = {-1, -1}, q[2] = {-1, -1};
    if (out && pipe2(p, O_CLOEXEC) != 0)
        return -1;
    if (in && pipe2(q, O_CLOEXEC) != 0) {
        if (out)
            close(p[0]), close(p[1]);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(in ? q[0] : devnull, 0);
        dup2(out ? p[1] : devnull, 1);
        dup2(devnull, 2);
        exec(args);
    }
    if (out) {
        close(p[1]);
        *out = p[0];
    }
    if (in) {
        close(q[0]);
        *in = q[1];
    }
    return pid;
}

void gw_end(int pid, int sig)
{
    if (pid > 0) {
        kill(pid, sig);
        waitpid(pid, nullptr, 0);
    }
}

Child::~Child()
{
    if (pid_ > 0)
        stop(SIGKILL);
    if (out_ >= 0)
        close(out_);
    if (in_ >= 0)
        close(in_);
}

bool Child::start(const std::vector<std::string> &argv, bool merge_stderr, bool want_stdin)
{
    std::vector<std::string> args = emulated(argv);
    int outp[2], inp[2] = {-1, -1};
    if (pipe2(outp, O_CLOEXEC) != 0)
        return false;
    if (want_stdin && pipe2(inp, O_CLOEXEC) != 0)
        return false;
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(outp[1], 1);
        if (merge_stderr)
            dup2(outp[1], 2);
        if (want_stdin)
            dup2(inp[0], 0);
        else {
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull >= 0)
                dup2(devnull, 0);
        }
        exec(args);
    }
    close(outp[1]);
    out_ = outp[0];
    if (want_stdin) {
        close(inp[0]);
        in_ = inp[1];
    }
    pid_ = pid;
    eof_ = false; // a child started again is read again; its lines() go on
    buf_.clear();
    return true;
}

bool Child::read_line(std::string &line, int timeout_ms)
{
    double deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t nl = buf_.find('\n');
        if (nl != std::string::npos) {
            line = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            lines_.push_back(line);
            return true;
        }
        if (eof_ || out_ < 0)
            return false;
        int left = static_cast<int>(deadline - now_ms());
        if (left < 0)
            return false;
        pollfd p = {out_, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char tmp[4096];
        ssize_t n = read(out_, tmp, sizeof tmp);
        if (n <= 0) {
            eof_ = true;
            continue;
        }
        buf_.append(tmp, static_cast<size_t>(n));
    }
}

bool Child::wait_for(const std::string &needle, int timeout_ms, std::string *found)
{
    double deadline = now_ms() + timeout_ms;
    std::string line;
    for (;;) {
        int left = static_cast<int>(deadline - now_ms());
        if (left < 0 || !read_line(line, left))
            return false;
        if (line.find(needle) != std::string::npos) {
            if (found)
                *found = line;
            return true;
        }
    }
}

void Child::drain()
{
    std::string line;
    while (read_line(line, 0)) {
    }
}

bool Child::write_stdin(const std::string &text)
{
    if (in_ < 0)
        return false;
    return write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int Child::stop(int sig)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, sig);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return st;
}

int Child::wait_exit(int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    double deadline = now_ms() + timeout_ms;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return st;
        }
        if (now_ms() > deadline)
            return -1;
        usleep(5000);
    }
}

int Child::finish(int timeout_ms)
{
    std::string line;
    while (read_line(line, timeout_ms)) {
    }
    int st = wait_exit(timeout_ms);
    return st == -1 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}
