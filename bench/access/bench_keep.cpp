// What the kept service connection saves: the whole daemon against the
// access service simulator with an added delay on each answer flight (a
// stand-in for the network's round trip), over HTTP and HTTPS. Per case: card
// reply -> first byte of 0x97 (p50, p99), connections and TLS handshakes the
// service served, the daemon's CPU time per card; then the first card after
// the service closed the idle connection, and the idle poll rate and CPU with
// the service reachable and unreachable. --daemon PATH measures another
// build of the daemon (the simulator stays this build's).
//   scripts/board-sandbox -- build/bin/gatewarden-bench-keep [--cards N]
//       [--delays 0,20,50] [--daemon PATH]
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/daemon/bench.h"
#include "tools/support/support.h"

namespace
{

const int CARD_GAP_MS = 70;

std::string daemon_path;

struct sim {
    int pid = -1;
    std::string url;
    std::atomic<long> connections{0}, handshakes{0}, requests{0};
};

// The simulator with its log counted by a thread of its own.
bool start_sim(sim *s, std::vector<std::string> args)
{
    args.insert(args.begin(), {gw_bin("gatewarden-servicesim"), "--port", "0", "--grant-all"});
    int out = -1;
    s->pid = gw_spawn(args, &out);
    std::string first;
    char c;
    while (s->pid > 0 && read(out, &c, 1) == 1 && c != '\n')
        first += c;
    if (first.find("listening ") != 0)
        return false;
    s->url = first.substr(10);
    std::thread([s, out] {
        FILE *f = fdopen(out, "r");
        char line[1024];
        while (fgets(line, sizeof line, f)) {
            s->connections += strstr(line, " connection ") != nullptr;
            s->handshakes += strstr(line, " handshake ") != nullptr;
            s->requests += strstr(line, " request ") != nullptr;
        }
        fclose(f);
    }).detach();
    return true;
}

int start_daemon(BenchReader &reader)
{
    int pid = gw_spawn({daemon_path}, nullptr);
    long polls = reader.polls();
    for (int i = 0; i < 500 && pid > 0; i++) {
        usleep(10000);
        if (reader.polls() > polls + 2)
            return pid;
    }
    gw_end(pid);
    return -1;
}

// Polls a second and CPU % of a core over seconds.
void idle_figures(BenchReader &reader, int pid, int seconds, double *polls, double *cpu)
{
    long p0 = reader.polls();
    double c0 = cpu_seconds(pid), t0 = now_ms();
    sleep(static_cast<unsigned>(seconds));
    double s = (now_ms() - t0) / 1000.0;
    *polls = (reader.polls() - p0) / s;
    *cpu = 100.0 * (cpu_seconds(pid) - c0) / s;
}

void one_case(BenchReader &reader, bool tls, int delay, int cards, const std::string &certs)
{
    sim s;
    std::vector<std::string> args = {"--delay", std::to_string(delay), "--idle-close", "60000"};
    if (tls)
        args.insert(args.end(),
                    {"--tls", "--cert", certs + "/cert.pem", "--key", certs + "/key.pem"});
    int pid = -1;
    if (!start_sim(&s, args) || !store_url(s.url) || (pid = start_daemon(reader)) < 0) {
        printf("%s delay %d ms: cannot set up\n", tls ? "https" : "http", delay);
        gw_end(pid);
        gw_end(s.pid);
        return;
    }
    double idle_polls, idle_cpu;
    idle_figures(reader, pid, 3, &idle_polls, &idle_cpu);
    usleep(300000);
    long c0 = s.connections, h0 = s.handshakes;
    double cpu0 = cpu_seconds(pid), t0 = now_ms();
    std::vector<double> lat;
    int lost = 0;
    for (int i = 0; i < cards; i++) {
        double t = reader.card(5000);
        if (t >= 0)
            lat.push_back(t);
        else
            lost++;
        usleep(CARD_GAP_MS * 1000);
    }
    double cpu = cpu_seconds(pid) - cpu0, secs = (now_ms() - t0) / 1000.0;
    double net = cpu - idle_cpu / 100.0 * secs; // without the polling meanwhile
    printf("%-5s delay %2d ms: p50 %7.2f ms  p99 %7.2f ms  | per 1000 cards: %4.0f connections, "
           "%4.0f handshakes | CPU per card %.3f ms (%.3f ms beyond idle polling) | %d lost\n",
           tls ? "https" : "http", delay, median(lat), percentile(lat, 99),
           1000.0 * (s.connections - c0) / cards, 1000.0 * (s.handshakes - h0) / cards,
           1000.0 * cpu / cards, 1000.0 * net / cards, lost);
    gw_end(pid);
    gw_end(s.pid);
}

// The service closes idle connections after 1 s: cards 1.5 s and 10 s
// after the one before.
void after_idle_close(BenchReader &reader, int delay)
{
    sim s;
    int pid = -1;
    if (!start_sim(&s, {"--delay", std::to_string(delay), "--idle-close", "1000"}) ||
        !store_url(s.url) || (pid = start_daemon(reader)) < 0) {
        gw_end(s.pid);
        return;
    }
    usleep(500000);
    std::vector<double> t15, t10;
    for (int i = 0; i < 5; i++) {
        reader.card(5000);
        usleep(1500000);
        t15.push_back(reader.card(5000));
        usleep(10000000);
        t10.push_back(reader.card(5000));
    }
    printf("http  delay %2d ms, service closes idle connections after 1 s: first card 1.5 s after "
           "the one before p50 %.2f ms, 10 s after p50 %.2f ms (max %.2f, %.2f)\n",
           delay, median(t15), median(t10), percentile(t15, 100), percentile(t10, 100));
    gw_end(pid);
    gw_end(s.pid);
}

void idle_reachable(BenchReader &reader)
{
    sim s;
    int pid = -1;
    if (!start_sim(&s, {"--idle-close", "60000"}) || !store_url(s.url) ||
        (pid = start_daemon(reader)) < 0) {
        gw_end(s.pid);
        return;
    }
    double polls, cpu;
    idle_figures(reader, pid, 10, &polls, &cpu);
    printf("idle, service reachable: %.1f polls/s, CPU %.3f %% of a core\n", polls, cpu);
    gw_end(s.pid); // now it refuses connections
    idle_figures(reader, pid, 10, &polls, &cpu);
    printf("idle, service gone (connection refused): %.1f polls/s, CPU %.3f %% of a core\n", polls,
           cpu);
    gw_end(pid);
}

} // namespace

int main(int argc, char **argv)
{
    int cards = 1000;
    std::string delays = "0,20,50";
    daemon_path = gw_bin("gatewarden");
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--cards") == 0)
            cards = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--delays") == 0)
            delays = argv[i + 1];
        else if (strcmp(argv[i], "--daemon") == 0)
            daemon_path = argv[i + 1];
    }
    if (!in_board_sandbox()) {
        fprintf(stderr, "run me inside scripts/board-sandbox\n");
        return 77;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    TempDir certs("gw-bench-keep");
    if (system((std::string(GW_SOURCE_DIR "/scripts/make-test-cert ") + certs.path).c_str()) != 0)
        return 1;
    BenchReader reader;
    if (!reader.start())
        return 1;
    printf("daemon %s, %d cards a case, a card every ~%d ms\n", daemon_path.c_str(), cards,
           CARD_GAP_MS);
    for (bool tls : {false, true}) {
        for (size_t at = 0; at < delays.size();) {
            int delay = atoi(delays.c_str() + at);
            one_case(reader, tls, delay, cards, certs.path);
            size_t comma = delays.find(',', at);
            at = comma == std::string::npos ? delays.size() : comma + 1;
        }
    }
    after_idle_close(reader, 20);
    idle_reachable(reader);
    reader.stop();
    return 0;
}
