#include "tests/ctl/ctl_harness.h"

#include <fcntl.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>

#include "netservice/mgmt_proto.h"

CtlResult run_ctl(const std::string &args, const std::function<void()> &during)
{
    std::vector<std::string> argv = {gw_bin("gatewardenctl")};
    std::istringstream words(args);
    for (std::string w; words >> w;)
        argv.push_back(w);
    CtlResult r;
    Child c;
    // Child captures standard output; the tool's standard error goes to a file.
    TempDir dir{"gw-ctl"};
    int err = open((dir.path + "/err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
        saved = dup(2);
    double t0 = now_ms();
    dup2(err, 2);
    bool started = c.start(argv, false);
    dup2(saved, 2);
    close(saved);
    close(err);
    if (started && during)
        during();
    for (std::string line; started && c.read_line(line, 20000);)
        r.out += line + "\n";
    int st = started ? c.wait_exit(5000) : -1;
    r.ms = now_ms() - t0;
    r.status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = read_file(dir.path + "/err");
    return r;
}

std::string FakeController::serve(const FakeAnswer &answer)
{
    std::string request;
    int fd = wait_readable(fd_, 10000) > 0 ? accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    char buf[2048];
    ssize_t n;
    // The request: from its first byte until 200 ms of silence.
    for (int wait = 10000;
         fd >= 0 && wait_readable(fd, wait) > 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0;
         wait = TCP_GAP_MS)
        request.append(buf, static_cast<size_t>(n));
    for (size_t k = 0; fd >= 0 && k < answer.chunks.size(); k++) {
        usleep(k > 0 ? answer.gap_ms * 1000 : 0);
        send(fd, answer.chunks[k].data(), answer.chunks[k].size(), MSG_NOSIGNAL);
    }
    // Holds the connection until the tool closes it.
    if (fd >= 0 && !answer.hang_up && wait_readable(fd, 5000) > 0)
        recv(fd, buf, 1, 0);
    close(fd);
    return request;
}

CtlResult FakeController::run(const std::string &args, const std::vector<FakeAnswer> &answers)
{
    return run_ctl("-p " + std::to_string(port_) + " " + args, [&] {
        for (const auto &a : answers)
            requests.push_back(serve(a));
    });
}
