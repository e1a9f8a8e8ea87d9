// The GrantAccess operation of the access service simulator and its log.
#pragma once

// Seconds since start, for the t= of every log line.
double sim_clock(void);

#include <cstddef>
#include <pthread.h>

struct soap;

// Connections are served each on a thread of its own: the rules, the faults
// and the log are used under this lock.
extern pthread_mutex_t sim_lock;

// Numbers of the connections and TLS handshakes served so far.
extern unsigned long sim_connections, sim_handshakes;

// What a connection's thread keeps: its number, and the wait before each
// answer flight (a stand-in for the network's round trip).
struct sim_conn {
    unsigned long id;
    long delay_ms;
    bool read_since_write; // a flight came in since the last one went out
    int (*send)(struct soap *, const char *, size_t);
    size_t (*recv)(struct soap *, char *, size_t);
};

void sim_sleep_ms(long ms);
