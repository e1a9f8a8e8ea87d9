// The daemon benchmark: card latency beyond the reader's silence gap and the
// access service's own time, idle CPU, resident memory, and growth of memory
// and descriptors over thousands of cards, TCP requests and UDP searches.
// Runs only inside scripts/board-sandbox (it uses /dev/ttymxc2, /etc and the
// daemon's ports). --tls-memory: only the resident memory after 1,000 cards
// over HTTP and 1,000 over HTTPS. --card-latency: only the card latency (run
// it after gatewarden-provision --offline-grace 8h for the offline store's cost).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/wait.h>
#include <atomic>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/daemon/bench.h"
#include "reader/reader_proto.h"
#include "tools/common/parse_number.h"
#include "tools/support/support.h"

namespace
{

const int CARDS = 1000;
const int GROWTH_CARDS = 500;
const int GROWTH_TCP = 1000;
const int GROWTH_UDP = 2000;

int start_daemon(BenchReader *reader)
{
    int pid = gw_spawn({gw_bin("gatewarden")}, nullptr);
    long polls = reader ? reader->polls() : 0;
    for (int i = 0; i < 500; i++) {
        usleep(10000);
        if (reader ? reader->polls() > polls + 2 : tcp_ask(R"({"Command":"CMD_GetNetConf"})"))
            return pid;
    }
    gw_end(pid);
    return -1;
}

double idle_cpu_percent(int pid, int seconds)
{
    double c0 = cpu_seconds(pid), t0 = now_ms();
    sleep(static_cast<unsigned>(seconds));
    return 100.0 * (cpu_seconds(pid) - c0) / ((now_ms() - t0) / 1000.0);
}

void growth_round(int pid, BenchReader &reader, int round)
{
    long rss0 = rss_kb(pid);
    int fds0 = fd_count(pid);
    int lost = 0;
    for (int i = 0; i < GROWTH_CARDS; i++)
        lost += reader.card(3000) < 0;
    long rss1 = rss_kb(pid);
    int fds1 = fd_count(pid);
    int failed = 0;
    const char *reqs[] = {R"({"Command":"CMD_GetNetConf"})", R"({"Command":"CMD_GetUrlAddr"})",
                          R"({"Command":"CMD_CtrRelay"})", R"({"Command":"CMD_GetReaderInfo"})",
                          R"({"Command":"cmd_unknown"})"};
    for (int i = 0; i < GROWTH_TCP; i++)
        failed += !tcp_ask(reqs[i % 5]);
    long rss2 = rss_kb(pid);
    int fds2 = fd_count(pid);
    int ufd = udp_open();
    int unanswered = 0;
    for (int i = 0; i < GROWTH_UDP; i++)
        unanswered += !udp_search(ufd);
    close(ufd);
    usleep(100000);
    long rss3 = rss_kb(pid);
    int fds3 = fd_count(pid);
    printf("round %d: %d cards: RSS %+ld kB, fds %+d (%d without output) | %d TCP requests: "
           "RSS %+ld kB, fds %+d (%d failed) | %d UDP searches: RSS %+ld kB, fds %+d "
           "(%d unanswered) | RSS now %ld kB, %d fds\n",
           round, GROWTH_CARDS, rss1 - rss0, fds1 - fds0, lost, GROWTH_TCP, rss2 - rss1,
           fds2 - fds1, failed, GROWTH_UDP, rss3 - rss2, fds3 - fds2, unanswered, rss3, fds3);
}

std::atomic<long> service_requests;

bool write_text(const char *path, const char *text)
{
    FILE *f = fopen(path, "w");
    if (!f)
        return false;
    bool ok = fputs(text, f) >= 0;
    return fclose(f) == 0 && ok;
}

// The host of the service URL cannot be resolved: the name server (an
// address of the sandbox's own network that nobody holds) never answers.
void unresolvable_host(BenchReader &reader)
{
    if (!write_text("/etc/resolv.conf", "nameserver 192.0.2.99\n") ||
        !store_url("http://accessgate.invalid-host.test:8080/ws/AccessGate")) {
        printf("unresolvable service host: cannot set up\n");
        return;
    }
    for (int i = 0; i < 3; i++)
        printf("card with the service host's name unresolvable (name server silent): reader "
               "held %.0f ms\n",
               reader.stall(120000));
}

// Starts the access service simulator with extra options; its URL in *url,
// its log read and dropped by a thread of its own. Returns its pid or -1.
int start_service(const std::vector<std::string> &extra, std::string *url)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-servicesim"), "--port", "0", "--grant-all"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    int out = -1;
    int pid = gw_spawn(argv, &out);
    std::string first;
    char c;
    while (pid > 0 && read(out, &c, 1) == 1 && c != '\n')
        first += c;
    if (first.find("listening ") != 0) {
        fprintf(stderr, "no access service simulator: %s\n", first.c_str());
        gw_end(pid);
        return -1;
    }
    *url = first.substr(10);
    std::thread([out] {
        char buf[4096];
        while (read(out, buf, sizeof buf) > 0) {
        }
    }).detach();
    return pid;
}

// Resident memory of a fresh daemon after TLS_CARDS cards over HTTP, then
// TLS_CARDS more over HTTPS (self-signed service, nothing verified).
int tls_memory(void)
{
    const int TLS_CARDS = 1000;
    char dir[] = "/tmp/gw-bench-daemon.XXXXXX";
    if (!mkdtemp(dir) ||
        system((std::string(GW_SOURCE_DIR "/scripts/make-test-cert ") + dir).c_str()) != 0)
        return 1;
    std::string http, https, certs = dir;
    int plain = start_service({}, &http);
    int tls = start_service({"--tls", "--cert", certs + "/cert.pem", "--key", certs + "/key.pem"},
                            &https);
    BenchReader reader;
    int daemon = -1;
    if (plain > 0 && tls > 0 && store_url(http) && reader.start())
        daemon = start_daemon(&reader);
    if (daemon > 0) {
        printf("daemon started: RSS %ld kB\n", rss_kb(daemon));
        for (const std::string &url : {http, https}) {
            int lost = 0;
            store_url(url);
            for (int i = 0; i < TLS_CARDS; i++)
                lost += reader.card(3000) < 0;
            printf("after %d cards over %s: RSS %ld kB (%ld kB own), peak %ld kB (%d lost)\n",
                   TLS_CARDS, url.substr(0, url.find(':')).c_str(), rss_kb(daemon),
                   rss_anon_kb(daemon), hwm_kb(daemon), lost);
        }
    }
    gw_end(daemon);
    reader.stop();
    gw_end(plain);
    gw_end(tls);
    (void)!system(("rm -rf " + certs).c_str());
    return daemon > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    static const option longopts[] = {{"soak", required_argument, nullptr, 's'},
                                      {"tls-memory", no_argument, nullptr, 't'},
                                      {"card-latency", no_argument, nullptr, 'c'},
                                      {}};
    long soak_cards = 0;
    bool tls = false, latency_only = false, bad = false;
    for (int c; (c = getopt_long(argc, argv, "", longopts, nullptr)) != -1;) {
        tls |= c == 't';
        latency_only |= c == 'c';
        bad |= c == '?' || (c == 's' && parse_long(optarg, 1, 100000000, &soak_cards) != 0);
    }
    if (bad || optind != argc || tls + latency_only + (soak_cards > 0) > 1) {
        fprintf(stderr,
                "usage: gatewarden-bench-daemon [--soak CARDS | --tls-memory | --card-latency]\n");
        return 2;
    }
    if (!in_board_sandbox()) {
        fprintf(stderr, "run me inside scripts/board-sandbox\n");
        return 77;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    if (tls)
        return tls_memory();

    // The access service on loopback; its log is read and dropped.
    int sout = -1;
    int service = gw_spawn({gw_bin("gatewarden-servicesim"), "--port", "0", "--grant-all"}, &sout);
    std::string first;
    char c;
    while (read(sout, &c, 1) == 1 && c != '\n')
        first += c;
    if (first.find("listening ") != 0 || !store_url(first.substr(10))) {
        fprintf(stderr, "no access service simulator: %s\n", first.c_str());
        gw_end(service);
        return 1;
    }
    std::string url = first.substr(10);
    std::thread([sout] {
        FILE *f = fdopen(sout, "r");
        char line[1024];
        while (fgets(line, sizeof line, f))
            if (strstr(line, " request "))
                service_requests++;
    }).detach();

    if (soak_cards > 0) {
        int r = soak(
            static_cast<int>(soak_cards), 7, gw_bin("gatewarden-readersim"), &service_requests,
            [] { return start_daemon(nullptr); }, [](int pid) { gw_end(pid); });
        gw_end(service);
        return r == 0 ? 0 : 1;
    }

    BenchReader reader;
    if (!reader.start()) {
        fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    int daemon = start_daemon(&reader);
    if (daemon < 0) {
        fprintf(stderr, "the daemon did not start polling\n");
        return 1;
    }
    printf("daemon started: RSS %ld kB (%ld kB own, %ld kB mapped files), %d fds\n", rss_kb(daemon),
           rss_anon_kb(daemon), rss_file_kb(daemon), fd_count(daemon));

    // Card latency, replies unpaced (each reply written in one piece, so its
    // last byte goes with its first): what the daemon adds to the service's
    // own time.
    std::vector<double> lat, svc;
    for (int i = 0; i < CARDS; i++) {
        double t = reader.card(3000);
        if (t >= 0)
            lat.push_back(t);
        usleep(5000);
    }
    for (int i = 0; i < CARDS; i++) {
        double t = service_round_trip(url);
        if (t >= 0)
            svc.push_back(t);
    }
    printf("card latency (card reply's last byte to first 0x97 byte, %zu cards): p50 %.2f ms, "
           "p99 %.2f ms, max %.2f ms\n",
           lat.size(), median(lat), percentile(lat, 99), percentile(lat, 100));
    printf("  service round trip (raw POST on loopback): p50 %.2f ms, p99 %.2f ms\n", median(svc),
           percentile(svc, 99));
    printf("  beyond the service's p50: p50 %.2f ms, p99 %.2f ms (target p99 <= 3 ms)\n",
           median(lat) - median(svc), percentile(lat, 99) - median(svc));

    printf("  on a 9600 bit/s line add the card reply's own %.1f ms and the 0x97 frame's %.1f ms\n",
           (UID_SHORT_REPLY + FRAME_OVERHEAD) * 10000.0 / 9600,
           (DEVICE_DATA_LEN + FRAME_OVERHEAD) * 10000.0 / 9600);
    if (latency_only) {
        gw_end(daemon);
        gw_end(service);
        reader.stop();
        return 0;
    }

    reader.set_paced(true);
    // Idle: a reader that answers every poll at line speed, a silent one.
    long p0 = reader.polls();
    double cpu = idle_cpu_percent(daemon, 10);
    printf("idle CPU, reader answering at 9600 bit/s (%.0f polls/s): %.2f %% of a core "
           "(target <= 1 %%)\n",
           (reader.polls() - p0) / 10.0, cpu);
    reader.set_silent(true);
    printf("idle CPU, reader silent: %.2f %% of a core\n", idle_cpu_percent(daemon, 5));
    reader.set_silent(false);
    reader.set_paced(false);

    // Memory and descriptors over load, twice: the second round shows growth
    // once the allocator has settled.
    unresolvable_host(reader);
    store_url(url);
    growth_round(daemon, reader, 1);
    growth_round(daemon, reader, 2);
    printf("resident memory: %ld kB now (%ld kB own, %ld kB mapped files; PSS %ld kB), %ld kB "
           "peak (target <= 6 MB)\n",
           rss_kb(daemon), rss_anon_kb(daemon), rss_file_kb(daemon), pss_kb(daemon),
           hwm_kb(daemon));
    gw_end(daemon);

    // No reader at all: the daemon waits for one without spinning.
    reader.stop();
    daemon = start_daemon(nullptr);
    if (daemon > 0) {
        printf("idle CPU, reader missing: %.2f %% of a core\n", idle_cpu_percent(daemon, 5));
        reader.start();
        double t0 = now_ms();
        long p1 = reader.polls();
        while (reader.polls() == p1 && now_ms() - t0 < 10000)
            usleep(10000);
        printf("reader plugged in late: polled after %.0f ms\n", now_ms() - t0);
        gw_end(daemon);
    }
    reader.stop();
    gw_end(service);
    return 0;
}
