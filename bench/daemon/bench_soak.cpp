// The soak: the reader simulator presents a card every 70 ms at 9600 bit/s
// while faults are armed on card polls in turn; every card read, granted and
// lost is counted from the simulator's and the service's logs.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

#include "bench/daemon/bench.h"
#include "tools/support/support.h"

namespace
{

// Faults armed on the card polls, in turn: pauses inside a reply below and
// above the gap limit, late replies, line noise, garbage.
const char *const FAULTS[] = {"split=20", "late=600", "noise=1", "garbage", "split=100"};
enum { NFAULTS = 5, KINDS = NFAULTS + 1 }; // the last kind: no fault

struct counts {
    std::atomic<long> presented{0}, outputs{0};
    std::atomic<long> read[KINDS]; // identifier replies sent, by fault
};

int kind_of(const std::string &line)
{
    for (int k = 0; k < NFAULTS; k++)
        if (line.find(std::string("(fault ") + FAULTS[k]) != std::string::npos)
            return k;
    return NFAULTS;
}

void read_sim(int fd, counts *c)
{
    std::string buf;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        buf.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            std::string line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            if (line.find(" presented") != std::string::npos)
                c->presented++;
            else if (line.find(" rx 97 ") != std::string::npos)
                c->outputs++;
            else if (line.find(" tx status=00 data=00") != std::string::npos)
                c->read[kind_of(line)]++;
        }
    }
}

} // namespace

// cards presented with a fault armed every fault_every cards; the service
// counts its requests in *requests. Returns 0 when the run could be made.
int soak(int cards, int fault_every, const std::string &sim, std::atomic<long> *requests,
         const std::function<int()> &daemon, void (*end)(int))
{
    int in = -1, out = -1;
    int pid = gw_spawn({sim, "--link", "/dev/ttymxc2", "--baud", "9600", "--quiet-polls",
                        "--interval", "70", "--repeat", "--seed", "7", "--card", "0A1B2C3D",
                        "--card", "01A2B3C4D5E6F7"},
                       &out, &in);
    if (pid < 0)
        return -1;
    counts c;
    for (auto &r : c.read)
        r = 0;
    char ready[256];
    ssize_t got = read(out, ready, sizeof ready - 1);
    if (got <= 0) {
        end(pid);
        return -1;
    }
    std::thread reader(read_sim, out, &c);
    int d = daemon();
    long req0 = *requests;
    long p0 = c.presented;
    for (int i = 0; c.presented - p0 < cards; i++) {
        usleep(70000);
        if (i % fault_every == fault_every - 1) {
            std::string f =
                std::string("fault ") + FAULTS[(i / fault_every) % NFAULTS] + ",cmd=95\n";
            if (write(in, f.c_str(), f.size()) < 0)
                break;
        }
    }
    sleep(2);
    long granted = *requests - req0;
    end(d);
    end(pid);
    close(in);
    reader.join();
    long intact = c.read[0] + c.read[1] + c.read[NFAULTS], read = 0;
    for (auto &r : c.read)
        read += r;
    printf("soak: %ld cards presented every 70 ms at 9600 bit/s, a fault armed on every %dth "
           "poll; %ld replaced before a poll read them\n",
           c.presented - p0, fault_every, c.presented - p0 - read);
    printf("  identifier replies sent: %ld clean, %ld split 20 ms, %ld late 600 ms, %ld noisy, "
           "%ld split 100 ms\n",
           c.read[NFAULTS].load(), c.read[0].load(), c.read[1].load(), c.read[2].load(),
           c.read[4].load());
    printf("  intact (clean, split 20, late): %ld; cards the service was asked about: %ld, "
           "outputs after them: %ld; intact cards lost: at least %ld\n",
           intact, granted, c.outputs.load(), intact > granted ? intact - granted : 0);
    return 0;
}
