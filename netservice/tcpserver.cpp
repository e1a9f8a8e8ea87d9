// TCP command server on port 8001: one connection at a time, a request is
// what arrives until 200 ms of silence, and every request gets one reply.
#include "netservice/tcpserver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/health.h"
#include "common/log.h"
#include "common/mono_clock.h"
#include "common/wait_readable.h"
#include "netservice/manage_allow.h"
#include "netservice/netrequest.h"
#include "netservice/tcpreply.h"

long tcp_idle_limit_ms = TCP_IDLE_LIMIT_MS;

namespace
{

enum { TCP_BACKLOG = 10 };

// Accept errors that concern one connection only; the next accept goes on.
bool accept_error_passes(int err)
{
    switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// Waits for the next request on fd. Alone, a connection may stay silent up
// to tcp_idle_limit_ms. Once another client waits on lfd, it may stay silent
// TCP_YIELD_SILENT_MS, and keeps the port at most TCP_YIELD_TURN_MS from
// *waiter_since, the moment the wait was first seen (-1: not yet). 1 when fd
// is readable (or closed), 0 when it has had its time, -1 when the wait fails.
int wait_request(int fd, int lfd, long long *waiter_since)
{
    long long start = mono_ms();
    for (;;) {
        pollfd queue = {lfd, POLLIN, 0};
        long long now = mono_ms();
        bool waiting = poll(&queue, 1, 0) > 0;
        if (waiting && *waiter_since < 0)
            *waiter_since = now;
        long long until = start + tcp_idle_limit_ms;
        if (waiting)
            until = std::min(start + TCP_YIELD_SILENT_MS, *waiter_since + TCP_YIELD_TURN_MS);
        if (until <= now)
            return 0;
        pollfd p[2] = {{fd, POLLIN, 0}, {lfd, static_cast<short>(waiting ? 0 : POLLIN), 0}};
        int r = poll(p, 2, static_cast<int>(until - now));
        if (r < 0 && errno != EINTR) {
            perror("poll error");
            return -1;
        }
        if (r > 0 && p[0].revents)
            return 1;
    }
}

// Serves requests on fd until the peer closes, a request is not whole in
// time, or the connection has had its time (see wait_request).
void serve_connection(int fd, int lfd)
{
    long long waiter_since = -1;
    for (;;) {
        char buf[REQUEST_BUF];
        memset(buf, 0, sizeof buf);
        health_idle(HEALTH_TCP);
        if (wait_request(fd, lfd, &waiter_since) <= 0)
            return;
        int n = trecvn(fd, buf, sizeof buf - 1, TCP_GAP_MS);
        LOG_FLOOD(n == TRECVN_CUT, LOG_WARNING,
                  "TCP request not whole within its time limit: connection closed");
        if (n <= 0)
            return;
        health_busy(HEALTH_TCP);
        printf("%s\n", log_mask_urls(buf).c_str());
        mgmt_result res;
        mgmt_handle(buf, MGMT_TCP, nullptr, &res);
        tcp_reply(fd, &res);
    }
}

} // namespace

int trecv(int fd, void *buf, unsigned int len, long timeout)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return -1;
    int r = wait_readable(fd, timeout);
    if (r < 0)
        perror("select error\n");
    if (r <= 0)
        return r;
    return static_cast<int>(recv(fd, buf, len, 0));
}

int trecvn(int fd, void *buf, unsigned int len, long timeout)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return -1;
    // The first byte may be long in coming, but not for ever.
    int r = wait_readable(fd, tcp_idle_limit_ms);
    if (r < 0)
        perror("select error\n");
    if (r <= 0)
        return r;

    unsigned int remaining = len;
    int total = 0;
    long long limit = mono_ms() + TCP_REQUEST_LIMIT_MS;
    while (remaining > 0) {
        long left = static_cast<long>(limit - mono_ms());
        int n = left > 0 ? trecv(fd, static_cast<char *>(buf) + total, remaining,
                                 std::min(timeout, left))
                         : 0;
        if (n == 0 && mono_ms() >= limit)
            return TRECVN_CUT; // still coming: a trickle must not hold the port
        if (n <= 0)
            break;
        total += n;
        remaining -= static_cast<unsigned int>(n);
    }
    return total;
}

void *thread_tcpserver(void *arg)
{
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    if (lfd == -1) {
        perror("Failed to create socket");
        exit(-1);
    }
    int on = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(TCP_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1) {
        log_line(LOG_ERR, "Server bind failed");
        exit(-1);
    }
    if (listen(lfd, TCP_BACKLOG) == -1) {
        log_line(LOG_ERR, "Server listen failed");
        exit(-1);
    }
    // A flood of connections from addresses the allow list refuses is
    // counted, not printed line by line.
    static log_flood refused =
        LOG_FLOOD_INIT(LOG_WARNING, LOG_STDOUT, "Server refused client connect");

    for (;;) {
        sockaddr_in peer;
        socklen_t peerlen = sizeof peer;
        health_idle(HEALTH_TCP);
        int fd = accept(lfd, reinterpret_cast<sockaddr *>(&peer), &peerlen);
        if (fd == -1) {
            if (accept_error_passes(errno))
                continue;
            log_line(LOG_ERR, "Server accept failed");
            exit(-1);
        }
        char addr[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        bool allowed = manage_allowed(&peer.sin_addr);
        log_flood_state(&refused, !allowed, "Server refused client connect %s", addr);
        if (!allowed) {
            close(fd);
            continue;
        }
        printf("Server accept client connect %s\n", addr);

        timeval snd = {TCP_SEND_TIMEOUT_S, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);
        serve_connection(fd, lfd);
        close(fd);
    }
    return nullptr;
}
