#include "common/health.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "common/mono_clock.h"

long health_stuck_ms = HEALTH_STUCK_MS;

const char *const HEALTH_STATE_NAMES[] = {"not started", "running", "stuck", "ended"};
const char *const HEALTH_PART_NAMES[] = {"hardware", "tcp", "udp"};

namespace
{

// Per thread: NOT_STARTED, IDLE, ENDED, or the monotonic ms at which its
// turn or request began.
enum : long long { NOT_STARTED = -1, IDLE = 0, ENDED = -2 };
std::atomic<long long> since[HEALTH_PARTS] = {{NOT_STARTED}, {NOT_STARTED}, {NOT_STARTED}};
std::atomic<bool> port_open{false};
const long long started_ms = mono_ms();

// The rest changes at most a few times a second.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
bool answers;
long long poll_second = -1; // the second the count below belongs to
unsigned long polls_now, polls_before;
unsigned long cards[3];
int last_card = -1;
char last_error[sizeof health_snapshot::last_error];
long long last_error_time;

long long stamp(void)
{
    long long ms = mono_ms();
    return ms > 0 ? ms : 1; // never IDLE
}

} // namespace

void health_turn(bool open)
{
    since[HEALTH_HARDWARE].store(stamp(), std::memory_order_relaxed);
    port_open.store(open, std::memory_order_relaxed);
}

void health_idle(int part)
{
    since[part].store(IDLE, std::memory_order_relaxed);
}

void health_busy(int part)
{
    since[part].store(stamp(), std::memory_order_relaxed);
}

void health_ended(int part)
{
    since[part].store(ENDED, std::memory_order_relaxed);
}

void health_exchange(bool poll, bool answered)
{
    long long second = mono_ms() / 1000;
    pthread_mutex_lock(&lock);
    answers = answered;
    if (poll) {
        if (second != poll_second) {
            polls_before = second == poll_second + 1 ? polls_now : 0;
            polls_now = 0;
            poll_second = second;
        }
        polls_now++;
    }
    pthread_mutex_unlock(&lock);
}

void health_card(bool answered, bool granted, const char *error)
{
    int outcome = !answered ? HEALTH_NO_ANSWER : granted ? HEALTH_GRANTED : HEALTH_REFUSED;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    pthread_mutex_lock(&lock);
    cards[outcome]++;
    last_card = outcome;
    if (outcome == HEALTH_NO_ANSWER) {
        snprintf(last_error, sizeof last_error, "%s", error && *error ? error : "no answer");
        last_error_time = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    }
    pthread_mutex_unlock(&lock);
}

void health_read(health_snapshot *s)
{
    long long now = mono_ms();
    for (int p = 0; p < HEALTH_PARTS; p++) {
        long long t = since[p].load(std::memory_order_relaxed);
        // A request may wait for one whole hardware turn before its own.
        long bound = p == HEALTH_HARDWARE ? health_stuck_ms : 2 * health_stuck_ms;
        s->state[p] = t == NOT_STARTED               ? HEALTH_NOT_STARTED
                      : t == ENDED                   ? HEALTH_ENDED
                      : t != IDLE && now - t > bound ? HEALTH_STUCK
                                                     : HEALTH_RUNNING;
    }
    s->uptime_ms = now - started_ms;
    s->port_open = port_open.load(std::memory_order_relaxed);
    long long second = now / 1000;
    pthread_mutex_lock(&lock);
    s->reader_answers = answers;
    s->polls_per_s = second == poll_second       ? polls_before
                     : second == poll_second + 1 ? polls_now
                                                 : 0;
    memcpy(s->cards, cards, sizeof cards);
    s->last_card = last_card;
    memcpy(s->last_error, last_error, sizeof last_error);
    s->last_error_time = last_error_time;
    pthread_mutex_unlock(&lock);
}

bool health_started(const health_snapshot *s)
{
    for (int p = 0; p < HEALTH_PARTS; p++)
        if (s->state[p] == HEALTH_NOT_STARTED)
            return false;
    return true;
}

bool health_ok(const health_snapshot *s)
{
    for (int p = 0; p < HEALTH_PARTS; p++)
        if (s->state[p] != HEALTH_RUNNING)
            return false;
    return true;
}
