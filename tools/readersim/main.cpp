// gatewarden-readersim: the card reader module on a pseudo-terminal, for
// tests, benchmarks and bench work without the hardware.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "reader/reader_frame.h"
#include "tools/readersim/line.h"
#include "tools/readersim/options.h"
#include "tools/readersim/protocol.h"
#include "tools/support/support.h"
#include "tools/readersim/simlog.h"
#include "tools/common/parse_number.h"

namespace
{

const char PROG[] = "gatewarden-readersim";

enum : int64_t {
    MS = 1000000,
    SPIN_NS = 1500000,  // closer than this, the next byte is waited for with a sleep
    EARLY_NS = 1000000, // ... and a poll wakes this much ahead of it
};

volatile sig_atomic_t stop_signal;

void on_signal(int sig)
{
    stop_signal = sig;
}

// Cards of --card, presented in turn.
struct presenter {
    const sim_options *o;
    int next;
    int64_t due; // INT64_MAX when no more presentations
};

void present_due(presenter *p, sim_module *m, int64_t now)
{
    if (now < p->due)
        return;
    module_present(m, &p->o->cards[p->next]);
    if (++p->next == p->o->ncards) {
        p->next = 0;
        if (!p->o->repeat) {
            p->due = INT64_MAX;
            return;
        }
    }
    p->due += p->o->interval_ms * MS;
}

struct input {
    char buf[1024];
    int len;
    bool open;
};

void command(char *text, sim_module *m, bool *quit)
{
    char *arg = text + strcspn(text, " \t");
    if (*arg)
        *arg++ = '\0';
    arg += strspn(arg, " \t");
    char *end = arg + strlen(arg);
    while (end > arg && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r'))
        *--end = '\0';

    char err[160];
    if (strcmp(text, "card") == 0) {
        sim_card card;
        if (parse_card(arg, &card, err, sizeof err) == 0)
            module_present(m, &card);
        else
            fprintf(stderr, "%s: %s\n", PROG, err);
    } else if (strcmp(text, "remove") == 0) {
        module_remove(m);
    } else if (strcmp(text, "fault") == 0) {
        sim_fault f;
        if (parse_fault(arg, &f, err, sizeof err) != 0)
            fprintf(stderr, "%s: %s\n", PROG, err);
        else if (module_arm(m, &f) != 0)
            fprintf(stderr, "%s: too many faults armed\n", PROG);
    } else if (strcmp(text, "turnaround") == 0) {
        long ms;
        if (parse_long(arg, 0, 1000, &ms) != 0) {
            fprintf(stderr, "%s: turnaround '%s' is not a time in ms (0 to 1000)\n", PROG, arg);
        } else {
            m->turnaround_ms = static_cast<int>(ms);
            simlog("turnaround %ld ms", ms);
        }
    } else if (strcmp(text, "quit") == 0) {
        *quit = true;
    } else if (*text) {
        fprintf(stderr,
                "%s: unknown command '%s' (card HEX, remove, fault FAULT, turnaround MS, quit)\n",
                PROG, text);
    }
}

void read_input(input *in, sim_module *m, bool *quit)
{
    ssize_t n = read(STDIN_FILENO, in->buf + in->len, sizeof in->buf - 1 - in->len);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        in->open = false; // standard input ended: run on until killed
        n = 0;
        if (in->len > 0)
            in->buf[in->len++] = '\n';
    }
    in->len += static_cast<int>(n);
    char *start = in->buf;
    char *nl;
    while (!*quit && (nl = static_cast<char *>(memchr(start, '\n', in->buf + in->len - start)))) {
        *nl = '\0';
        command(start + strspn(start, " \t"), m, quit);
        start = nl + 1;
    }
    in->len -= static_cast<int>(start - in->buf);
    memmove(in->buf, start, static_cast<size_t>(in->len));
    if (in->len == static_cast<int>(sizeof in->buf) - 1) {
        fprintf(stderr, "%s: input line too long, dropped\n", PROG);
        in->len = 0;
    }
}

void handle_requests(sim_line *line, sim_module *m)
{
    unsigned char frame[FRAME_AREA];
    int len;
    int64_t end;
    while (line_take_frame(line, frame, &len, &end)) {
        unsigned char cmd;
        const unsigned char *data;
        int n;
        if (frame_parse(frame, len, &cmd, &data, &n) != 0) {
            char hex[2 * FRAME_AREA + 1];
            hex_text(hex, frame, len);
            simlog("rx bad-frame bytes=%s", hex);
            continue; // a module ignores a request it cannot check
        }
        static reply_plan plan;
        module_request(m, cmd, data, n, &plan);
        // The reply cannot start before the request's last byte is in.
        line_send(line, &plan, end);
    }
}

void sleep_until(int64_t t)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t / 1000000000);
    ts.tv_nsec = static_cast<long>(t % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void setup_signals(sigset_t *wait_mask)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Blocked except while waiting in ppoll, so a stop request is never lost.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, wait_mask);
    sigdelset(wait_mask, SIGINT);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGHUP);
}

// A paced reply must not pause on its own: the controller takes a pause of
// READER_GAP_MS inside a frame for a reply that broke off. Where allowed, the simulator runs at the
// lowest real-time priority (it sleeps nearly all the time) with fine timer slack, so a busy
// machine does not stretch the gaps between its bytes.
void steady_pacing(void)
{
    sched_param sp;
    memset(&sp, 0, sizeof sp);
    sp.sched_priority = sched_get_priority_min(SCHED_FIFO);
    sched_setscheduler(0, SCHED_FIFO, &sp); // not permitted: ordinary scheduling
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// The simulator's state is large (the transmit queue); it lives here.
sim_options opts;
sim_module module;
sim_line line;

int run(const gw_pty *pty, const sigset_t *wait_mask)
{
    presenter pres = {&opts, 0, opts.ncards > 0 ? mono_ns() : INT64_MAX};
    input in = {};
    in.open = true;
    bool quit = false;

    while (!quit && !stop_signal) {
        int64_t now = mono_ns();
        present_due(&pres, &module, now);
        line_transmit(&line, now);
        line_expire(&line, now);

        int64_t next = line_tx_due(&line);
        if (line_rx_deadline(&line) < next)
            next = line_rx_deadline(&line);
        if (pres.due < next)
            next = pres.due;
        if (next != INT64_MAX && next - now <= SPIN_NS) {
            sleep_until(next); // the byte pacing: absolute deadlines
            continue;
        }

        pollfd fds[2] = {{pty->master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        timespec ts, *tsp = nullptr;
        if (next != INT64_MAX) {
            int64_t wait = next - now - EARLY_NS;
            ts.tv_sec = static_cast<time_t>(wait / 1000000000);
            ts.tv_nsec = static_cast<long>(wait % 1000000000);
            tsp = &ts;
        }
        int r = ppoll(fds, in.open ? 2 : 1, tsp, wait_mask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            perror("gatewarden-readersim: ppoll");
            return 1;
        }
        if (in.open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            read_input(&in, &module, &quit);
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (line_receive(&line, mono_ns()) != 0) {
                fprintf(stderr, "%s: pseudo-terminal failed: %s\n", PROG, strerror(errno));
                return 1;
            }
            handle_requests(&line, &module);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int r = parse_options(argc, argv, &opts);
    if (r == OPTIONS_HELP)
        return 0;
    if (r != OPTIONS_RUN)
        return 2;

    // Signals are caught before the ready line, so the link made here is
    // removed however soon the simulator is stopped.
    sigset_t wait_mask;
    setup_signals(&wait_mask);

    gw_pty pty;
    if (pty_open(&pty) != 0) {
        fprintf(stderr, "%s: cannot open a pseudo-terminal: %s\n", PROG, strerror(errno));
        return 1;
    }
    if (opts.link) {
        char err[256];
        if (pty_link(opts.link, pty.name, err, sizeof err) != 0) {
            fprintf(stderr, "%s: %s\n", PROG, err);
            return 1;
        }
    }

    if (opts.baud > 0)
        steady_pacing();
    simlog_start();
    uint64_t seed = opts.seeded ? opts.seed : static_cast<uint64_t>(mono_ns()) ^ getpid();
    module_init(&module, &opts, seed);
    line_init(&line, pty.master, opts.baud);
    if (opts.link)
        printf("ready pty=%s link=%s\n", pty.name, opts.link);
    else
        printf("ready pty=%s\n", pty.name);

    int status = run(&pty, &wait_mask);
    if (opts.link)
        pty_unlink(opts.link, pty.name);
    return status;
}
