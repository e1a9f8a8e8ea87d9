// A reader module stand-in for the benchmark: exact time stamps of the card
// reply and of the output command that follows it.
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "bench/daemon/bench.h"
#include "tools/support/support.h"
#include "reader/reader_frame.h"
#include "reader/reader_proto.h"

namespace
{

const char LINK[] = "/dev/ttymxc2";
const unsigned char NO_CARD = 0x01;
const int LINE_BAUD = 9600;

std::mutex mu;
std::condition_variable cv;
std::thread responder;
bool stopping, paced, silent, armed, waiting_output;
double card_sent_ms, output_seen_ms, last_poll_ms;
long poll_count;
int slave = -1;

void reply(int fd, unsigned char st, const unsigned char *data, int n, int reqlen, bool pace)
{
    unsigned char out[FRAME_AREA];
    int len = frame_build(out, st, data, n);
    if (pace) // the request and the reply, 10 bits a byte
        usleep(static_cast<useconds_t>((reqlen + len) * 10 * 1000000LL / LINE_BAUD));
    std::unique_lock<std::mutex> lk(mu);
    if (st == READER_STATUS_OK && n == UID_SHORT_REPLY)
        card_sent_ms = now_ms();
    lk.unlock();
    if (write(fd, out, static_cast<size_t>(len)) != len)
        perror("bench reader: write");
}

void handle(int fd, const unsigned char *frame, int len, double first_byte_ms)
{
    unsigned char cmd = frame[FRAME_OFF_CMD];
    std::unique_lock<std::mutex> lk(mu);
    bool quiet = silent, pace = paced;
    if (cmd == READER_CMD_GET_UID) {
        poll_count++;
        last_poll_ms = first_byte_ms;
    }
    if (cmd == READER_CMD_DEVICE && waiting_output) {
        waiting_output = false;
        output_seen_ms = first_byte_ms;
        cv.notify_all();
    }
    bool card = cmd == READER_CMD_GET_UID && armed;
    if (card) {
        armed = false;
        waiting_output = true;
    }
    lk.unlock();
    if (quiet)
        return;
    if (cmd == READER_CMD_GET_UID) {
        if (card) {
            const unsigned char id[UID_SHORT_REPLY] = {0, 0, 0, 0x3D, 0x2C, 0x1B, 0x0A};
            reply(fd, READER_STATUS_OK, id, UID_SHORT_REPLY, len, pace);
        } else {
            reply(fd, NO_CARD, &NO_CARD, 1, len, pace);
        }
    } else if (cmd == READER_CMD_GET_INFO) {
        const unsigned char info[READER_INFO_LEN] = {10, 20, 30, 0, 1, 1};
        reply(fd, READER_STATUS_OK, info, READER_INFO_LEN, len, pace);
    } else {
        reply(fd, READER_STATUS_OK, nullptr, 0, len, pace);
    }
}

void run(int fd)
{
    unsigned char buf[4096];
    int have = 0;
    double first_byte_ms = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(mu);
            if (stopping)
                return;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fd, buf + have, sizeof buf - static_cast<size_t>(have));
        if (n <= 0) {
            usleep(10000);
            continue;
        }
        if (have == 0)
            first_byte_ms = now_ms();
        have += static_cast<int>(n);
        // Whole frames out of what has arrived; junk before a start byte goes.
        for (;;) {
            int start = 0;
            while (start < have && buf[start] != FRAME_START)
                start++;
            memmove(buf, buf + start, static_cast<size_t>(have > start ? have - start : 0));
            have -= start;
            if (have <= FRAME_OFF_LEN)
                break;
            int total = buf[FRAME_OFF_LEN] + FRAME_OVERHEAD - 1;
            if (have < total)
                break;
            handle(fd, buf, total, first_byte_ms);
            memmove(buf, buf + total, static_cast<size_t>(have - total));
            have -= total;
            first_byte_ms = now_ms();
        }
    }
}

} // namespace

bool BenchReader::start(void)
{
    gw_pty pty;
    char err[256];
    if (pty_open(&pty) != 0)
        return false;
    fcntl(pty.master, F_SETFL, 0); // the responder reads it blocking
    // The slave is held open so the master never reads end-of-file between openings.
    master = pty.master;
    slave = pty.slave;
    unlink(LINK);
    if (pty_link(LINK, pty.name, err, sizeof err) != 0)
        return false;
    stopping = false;
    responder = std::thread(run, master);
    return true;
}

void BenchReader::stop(void)
{
    {
        std::lock_guard<std::mutex> lk(mu);
        stopping = true;
    }
    if (responder.joinable())
        responder.join();
    unlink(LINK);
    close(slave);
    close(master);
}

void BenchReader::set_paced(bool on)
{
    std::lock_guard<std::mutex> lk(mu);
    paced = on;
}

void BenchReader::set_silent(bool on)
{
    std::lock_guard<std::mutex> lk(mu);
    silent = on;
}

double BenchReader::card(int timeout_ms)
{
    std::unique_lock<std::mutex> lk(mu);
    armed = true;
    waiting_output = false;
    output_seen_ms = 0;
    bool ok = cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                          [] { return !armed && !waiting_output && output_seen_ms > 0; });
    armed = false;
    waiting_output = false;
    return ok ? output_seen_ms - card_sent_ms : -1;
}

long BenchReader::polls(void)
{
    std::lock_guard<std::mutex> lk(mu);
    return poll_count;
}

double BenchReader::stall(int timeout_ms)
{
    std::unique_lock<std::mutex> lk(mu);
    armed = true;
    double t0 = now_ms();
    while (now_ms() - t0 < timeout_ms && (armed || last_poll_ms <= card_sent_ms)) {
        lk.unlock();
        usleep(1000);
        lk.lock();
    }
    bool ok = !armed && last_poll_ms > card_sent_ms;
    armed = waiting_output = false;
    return ok ? last_poll_ms - card_sent_ms : -1;
}
