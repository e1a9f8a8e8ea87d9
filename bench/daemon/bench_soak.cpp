// The soak: the daemon against the reader simulator at 9600 bit/s with a
// module's turnaround (5 ms and up to 3 ms of jitter), a card every 70 to
// 150 ms and a fault of a random kind (every kind the simulator has) on a
// fifth of all requests, plus a late reply across the end of the wait on
// every fault_every-th card's poll, so that the module falls several replies
// behind. Management commands go over TCP meanwhile. Counted from the
// simulator's, the daemon's and the service's output: intact card replies
// against cards granted, and commands that took another command's reply.
// GW_SOAK_DAEMON names another daemon program to soak (an older build).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/daemon/bench.h"
#include "reader/reader_proto.h"
#include "tools/support/support.h"

namespace
{

enum { FAULT_PERCENT = 20, TURNAROUND_MS = 5, JITTER_MS = 3 };
const char *const CARDS[] = {"0A1B2C3D", "01A2B3C4D5E6F7"};

struct counts {
    std::mutex mu;
    long presented = 0, intact = 0, cut = 0, mangled = 0;
    std::deque<int> requests;      // logged requests whose reply is not out yet
    std::vector<int> refused[3];   // codes the module refused relay, device, settings read with
    std::vector<int> reported[3];  // codes the daemon reported for them
    long no_answer[3] = {0, 0, 0}; // "no answer" lines of the daemon
    long info_asked = 0, info_wrong = 0; // CMD_GetReaderInfo answered with another record
};

int slot_of(int cmd)
{
    return cmd == READER_CMD_RELAY      ? 0
           : cmd == READER_CMD_DEVICE   ? 1
           : cmd == READER_CMD_GET_INFO ? 2
                                        : -1;
}

// One line of the simulator. Replies go out in the order of the requests;
// "tx none" is printed right after its own request.
void sim_line(counts *c, const std::string &line)
{
    if (getenv("GW_SOAK_TRACE"))
        fprintf(stderr, "sim %s\n", line.c_str());
    std::lock_guard<std::mutex> lk(c->mu);
    size_t at;
    if (line.find(" presented") != std::string::npos) {
        c->presented++;
    } else if ((at = line.find(" rx ")) != std::string::npos && isxdigit(line[at + 4])) {
        c->requests.push_back(static_cast<int>(strtol(line.c_str() + at + 4, nullptr, 16)));
    } else if (line.find(" tx none") != std::string::npos) {
        if (!c->requests.empty())
            c->requests.pop_back();
    } else if ((at = line.find(" tx ")) != std::string::npos) {
        int cmd = c->requests.empty() ? -1 : c->requests.front();
        if (!c->requests.empty())
            c->requests.pop_front();
        size_t f = line.find("(fault ");
        std::string fault = f == std::string::npos ? "" : line.substr(f + 7);
        size_t d = line.find(" data=", at);
        size_t e = d == std::string::npos ? d : line.find(' ', d + 6);
        size_t hex =
            d == std::string::npos ? 0 : (e == std::string::npos ? line.size() : e) - d - 6;
        bool card = line.compare(at + 4, 10, "status=00 ") == 0 &&
                    (hex == 2 * UID_SHORT_REPLY || hex == 2 * UID_LONG_REPLY);
        if (card && cmd == READER_CMD_GET_UID) {
            int split = fault.compare(0, 6, "split=") == 0 ? atoi(fault.c_str() + 6) : -1;
            if (fault.empty() || fault.compare(0, 5, "late=") == 0 ||
                (split >= 0 && split < READER_GAP_MS))
                c->intact++;
            else if (split >= 0)
                c->cut++;
            else
                c->mangled++;
        }
        if (slot_of(cmd) >= 0 && fault.compare(0, 7, "status=") == 0)
            c->refused[slot_of(cmd)].push_back(
                static_cast<int>(strtol(fault.c_str() + 7, nullptr, 16)));
    }
}

void daemon_line(counts *c, const std::string &line)
{
    if (getenv("GW_SOAK_TRACE"))
        fprintf(stderr, "gw  %s\n", line.c_str());
    static const char *const what[] = {
        "Control reader relay error: ", "Control reader device error: ", "Get reader info error: "};
    std::lock_guard<std::mutex> lk(c->mu);
    for (int i = 0; i < 3; i++) {
        size_t at = line.find(what[i]);
        if (at == std::string::npos)
            continue;
        const char *code = line.c_str() + at + strlen(what[i]);
        int v = static_cast<int>(strtol(code, nullptr, 16));
        if (!isxdigit(code[0]))
            c->no_answer[i]++;
        else if (v != 0) // 00: no valid reply (a mangled one), no code of the module's
            c->reported[i].push_back(v);
    }
}

void read_lines(int fd, counts *c, void (*take)(counts *, const std::string &))
{
    std::string buf;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        buf.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            take(c, buf.substr(0, nl));
            buf.erase(0, nl + 1);
        }
    }
}

// One management request; the daemon's reply text ("" when none came).
std::string ask(const std::string &request)
{
    int fd = tcp_connect(8001, 2000);
    if (fd < 0)
        return "";
    std::string reply = send_all(fd, request) ? read_reply(fd, 5000) : "";
    close(fd);
    return reply;
}

// CMD_CtrRelay and CMD_GetReaderInfo in turn; the settings read must give
// the simulator's own record (relay 3, light 3, buzzer 1, status 0).
void manage(counts *c, const std::atomic<bool> *stop)
{
    for (int i = 0; !*stop; i++) {
        usleep(300000);
        if (i % 2 == 0) {
            ask(R"({"Command":"CMD_CtrRelay"})");
            continue;
        }
        std::string r = ask(R"({"Command":"CMD_GetReaderInfo"})");
        std::lock_guard<std::mutex> lk(c->mu);
        if (r.find("\"response\":\t1") == std::string::npos &&
            r.find("\"response\": 1") == std::string::npos &&
            r.find("\"response\":1") == std::string::npos)
            continue;
        c->info_asked++;
        if (r.find("\"tRelay\":\t3") == std::string::npos &&
            r.find("\"tRelay\": 3") == std::string::npos &&
            r.find("\"tRelay\":3") == std::string::npos)
            c->info_wrong++;
        else if (r.find("\"tBuzzer\":\t1") == std::string::npos &&
                 r.find("\"tBuzzer\": 1") == std::string::npos &&
                 r.find("\"tBuzzer\":1") == std::string::npos)
            c->info_wrong++;
    }
}

// Codes in a that b lacks (multisets).
long unmatched(std::vector<int> a, std::vector<int> b)
{
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::vector<int> d;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(d));
    return static_cast<long>(d.size());
}

} // namespace

int soak(int cards, int fault_every, const std::string &sim, std::atomic<long> *requests,
         const std::function<int()> &daemon, void (*end)(int))
{
    (void)daemon; // the soak starts its own, to read its output
    int in = -1, out = -1;
    int pid =
        gw_spawn({sim, "--link", "/dev/ttymxc2", "--baud", "9600", "--quiet-polls", "--turnaround",
                  std::to_string(TURNAROUND_MS), "--jitter", std::to_string(JITTER_MS),
                  "--random-faults", std::to_string(FAULT_PERCENT), "--seed", "7"},
                 &out, &in);
    if (pid < 0)
        return -1;
    char ready[256];
    if (read(out, ready, sizeof ready - 1) <= 0) {
        end(pid);
        return -1;
    }
    counts c;
    std::thread sim_reader(read_lines, out, &c, sim_line);
    const char *prog = getenv("GW_SOAK_DAEMON");
    int dout = -1;
    int d = gw_spawn({prog ? prog : gw_bin("gatewarden")}, &dout);
    std::thread daemon_reader(read_lines, dout, &c, daemon_line);
    for (int i = 0; i < 500 && ask(R"({"Command":"CMD_GetNetConf"})").empty(); i++)
        usleep(10000);

    std::atomic<bool> stop{false};
    std::thread manager(manage, &c, &stop);
    long req0 = *requests;
    unsigned seed = 11;
    for (int i = 0; i < cards; i++) {
        usleep(static_cast<useconds_t>(70000 + rand_r(&seed) % 80000));
        std::string cmd;
        if (fault_every > 0 && i % fault_every == fault_every - 1)
            cmd = "fault late=" + std::to_string(480 + rand_r(&seed) % 140) + ",cmd=95\n";
        cmd += std::string("card ") + CARDS[i % 2] + "\n";
        if (write(in, cmd.c_str(), cmd.size()) < 0)
            break;
    }
    sleep(3);
    stop = true;
    manager.join();
    long granted = *requests - req0;
    end(d);
    end(pid);
    close(in);
    sim_reader.join();
    daemon_reader.join();

    std::lock_guard<std::mutex> lk(c.mu);
    long other = unmatched(c.reported[0], c.refused[0]) + unmatched(c.reported[1], c.refused[1]);
    long unreported =
        unmatched(c.refused[0], c.reported[0]) + unmatched(c.refused[1], c.reported[1]);
    printf("soak: %ld cards every 70-150 ms at 9600 bit/s, turnaround %d+0..%d ms, a random fault "
           "on %d %% of requests, a late poll on every %dth card\n",
           c.presented, TURNAROUND_MS, JITTER_MS, FAULT_PERCENT, fault_every);
    printf("  card replies: %ld intact (clean, late, split < %d ms), %ld cut (split >= %d ms), "
           "%ld mangled; cards granted: %ld; intact lost: %ld; beyond intact + cut: %ld\n",
           c.intact, READER_GAP_MS, c.cut, READER_GAP_MS, c.mangled, granted,
           c.intact > granted ? c.intact - granted : 0,
           granted > c.intact + c.cut ? granted - c.intact - c.cut : 0);
    printf("  commands (relay/device/settings read): refused by the module %zu/%zu/%zu, codes "
           "reported %zu/%zu/%zu, no answer %ld/%ld/%ld; settings reads %ld\n",
           c.refused[0].size(), c.refused[1].size(), c.refused[2].size(), c.reported[0].size(),
           c.reported[1].size(), c.reported[2].size(), c.no_answer[0], c.no_answer[1],
           c.no_answer[2], c.info_asked);
    printf("  commands that took another reply: %ld (a code the module did not refuse that "
           "command with: %ld; a settings read with another record: %ld); refusals not reported "
           "with their code: %ld\n",
           other + c.info_wrong, other, c.info_wrong, unreported);
    return 0;
}
