// Exchange overhead: one idle card poll and one combined output command
// against the reader simulator pacing its bytes at the line rate. The line's
// own time of an exchange is its request and reply bytes at 10 bits each (a
// complete reply ends it); everything above that is the controller's and the
// simulator's overhead. The simulator answers with no turnaround.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "reader/optReader.h"
#include "reader/reader_link.h"
#include "reader/reader_proto.h"
#include "reader/serial_port.h"
#include "tools/common/parse_number.h"
#include "tools/support/support.h"

namespace
{

// Idle poll: 7-byte request, 8-byte "no card" reply (status and one error
// code). Combined output: 10-byte request, 7-byte reply.
enum { POLL_BYTES = 7 + 8, DEVICE_BYTES = 10 + 7, WARMUP = 10 };
const double TARGET_PERCENT = 5.0, TARGET_MS = 2.0;

struct simulator {
    pid_t pid = -1;
    int out = -1;
    std::string pty;
};

bool start_sim(long baud, simulator *s)
{
    // No turnaround: the module's own time is not the controller's overhead.
    s->pid = gw_spawn({gw_bin("gatewarden-readersim"), "--baud", std::to_string(baud),
                       "--quiet-polls", "--turnaround", "0", "--jitter", "0"},
                      &s->out);
    if (s->pid < 0)
        return false;
    std::string line;
    char c;
    while (read(s->out, &c, 1) == 1 && c != '\n')
        line += c;
    size_t at = line.find("pty=");
    if (line.compare(0, 6, "ready ") != 0 || at == std::string::npos)
        return false;
    s->pty = line.substr(at + 4, line.find(' ', at) - at - 4);
    // The simulator logs every output command; keep its pipe flowing.
    int fd = s->out;
    std::thread([fd] {
        char buf[4096];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    }).detach();
    return true;
}

struct stats {
    double median, p95;
};

stats measure(int turns, int (*turn)())
{
    for (int i = 0; i < WARMUP; i++)
        turn();
    std::vector<double> t;
    for (int i = 0; i < turns; i++) {
        double t0 = now_ms();
        turn();
        t.push_back(now_ms() - t0);
    }
    std::sort(t.begin(), t.end());
    size_t p95 = (t.size() * 95 + 99) / 100 - 1;
    return {t[t.size() / 2], t[p95]};
}

int idle_poll()
{
    char text[32];
    return getReaderUid(text);
}

int device_output()
{
    return ctrReaderDevice(3, 0, 1);
}

bool report(const char *name, int nbytes, double byte_ms, const stats &s)
{
    double wire = nbytes * byte_ms;
    double over = s.median - wire;
    printf("%-22s wire %7.3f ms  median %7.3f ms  p95 %7.3f ms  overhead %6.3f ms (%5.2f %%)\n",
           name, wire, s.median, s.p95, over, 100.0 * over / wire);
    return over <= TARGET_MS && 100.0 * over / wire <= TARGET_PERCENT;
}

} // namespace

int main(int argc, char **argv)
{
    static const option longopts[] = {
        {"turns", required_argument, nullptr, 't'}, {"baud", required_argument, nullptr, 'b'}, {}};
    long turns_arg = 300, baud = 9600;
    bool bad = false;
    for (int c; (c = getopt_long(argc, argv, "", longopts, nullptr)) != -1;)
        bad |= c == '?' || parse_long(optarg, 1, c == 't' ? 1000000 : 4000000,
                                      c == 't' ? &turns_arg : &baud) != 0;
    if (bad || optind != argc) {
        fprintf(stderr, "usage: gatewarden-bench-exchange [--turns N] [--baud N] (N positive)\n");
        return 2;
    }
    int turns = static_cast<int>(turns_arg);

    simulator sim;
    if (!start_sim(baud, &sim)) {
        fprintf(stderr, "gatewarden-bench-exchange: the reader simulator did not start\n");
        return 1;
    }
    fd1 = open_port(sim.pty.c_str());
    if (fd1 < 0 || set_port(fd1, baud, 8, 1, 'N') != 0)
        return 1;

    double byte_ms = 10.0 * 1000.0 / baud;
    printf("reader exchange at %ld bit/s (%.4f ms a byte), %d turns each\n", baud, byte_ms, turns);
    stats poll = measure(turns, idle_poll);
    stats dev = measure(turns, device_output);
    bool ok = report("idle poll (0x95)", POLL_BYTES, byte_ms, poll);
    report("combined output (0x97)", DEVICE_BYTES, byte_ms, dev);
    printf("target (idle poll within %.0f %% and %.0f ms of the line's time): %s\n", TARGET_PERCENT,
           TARGET_MS, ok ? "met" : "missed");

    gw_end(sim.pid, SIGTERM);
    return 0;
}
