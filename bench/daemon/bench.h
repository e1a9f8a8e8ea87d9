// Pieces of the daemon benchmark.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

// A stand-in reader module on a pseudo-terminal linked at /dev/ttymxc2,
// answered from a thread of its own: "no card" to every poll, a card once
// armed, status 0 to everything else.
struct BenchReader {
    int master = -1;
    bool start(void);
    void stop(void);
    // Pace replies as a 9600 bit/s line would (request and reply on the wire).
    void set_paced(bool on);
    // Stop answering (a silent reader).
    void set_silent(bool on);
    // Hands a card to the next poll and waits for the 0x97 that follows.
    // Returns ms from the first byte of the card reply to the first byte of
    // the 0x97 frame, or -1 when none came within timeout_ms.
    double card(int timeout_ms);
    long polls(void);
    // Hands a card to the next poll; returns ms from the card reply to the
    // next poll (no decision came), or -1 after timeout_ms.
    double stall(int timeout_ms);
};

// The reader simulator soak (bench_soak.cpp): cards presented, faults armed
// on every fault_every-th poll, counts printed. sim is the simulator's path,
// *requests counts the service's requests, daemon starts the daemon.
int soak(int cards, int fault_every, const std::string &sim, std::atomic<long> *requests,
         const std::function<int()> &daemon, void (*end)(int));

// Process figures from /proc.
long rss_kb(int pid);
long hwm_kb(int pid);
long rss_anon_kb(int pid); // the process's own pages, without mapped files
long rss_file_kb(int pid); // pages of mapped files (libraries), mostly shared
long pss_kb(int pid);      // shared pages counted in part
int fd_count(int pid);
double cpu_seconds(int pid);

// Stores the access service's URL in /etc/reader.db.
bool store_url(const std::string &url);

// Round trip of one raw GrantAccess POST to the service at url, in ms.
double service_round_trip(const std::string &url);
// One TCP request ended by closing the sending side; true when a reply came.
bool tcp_ask(const std::string &request);
// One search; true when the answer came back.
bool udp_search(int fd);
int udp_open(void);

double median(std::vector<double> v);
double percentile(std::vector<double> v, double p);
