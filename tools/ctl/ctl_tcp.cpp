// One request and its reply on the controller's TCP command port, and how
// the reply becomes output and an exit status.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/ctl/ctl.h"

// A reply larger than this is not one of the controller's.
enum { REPLY_MAX = 65536 };

// Waits for events on fd until the deadline: 1 ready, 0 time-out, -1 failure.
static int wait_fd(int fd, short events, long deadline)
{
    for (;;) {
        long left = deadline - ctl_now_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR)
            continue;
        return r < 0 ? -1 : r;
    }
}

int ctl_resolve(const char *host, int port, int socktype, struct sockaddr_in *sa)
{
    if (ctl_check_host(host) != 0)
        return ctl_usage_error("'%s' is neither a host name nor an IPv4 address", host);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = socktype;
    struct addrinfo *res = nullptr;
    int r = getaddrinfo(host, nullptr, &hints, &res);
    if (r == EAI_AGAIN) {
        ctl_err("cannot resolve '%s' now: %s\n"
                "Give the controller's IPv4 address (gatewardenctl search lists them).",
                host, gai_strerror(r));
        return CTL_NOANSWER;
    }
    if (r != 0 || !res)
        return ctl_usage_error("cannot resolve '%s': %s", host, gai_strerror(r));
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_addr = ((const struct sockaddr_in *)res->ai_addr)->sin_addr;
    sa->sin_port = htons((uint16_t)port);
    freeaddrinfo(res);
    return CTL_OK;
}

// Reports a failed connection; returns its exit status.
static int connect_failed(const char *where, int err, long timeout)
{
    if (err == ETIMEDOUT || err == 0) {
        ctl_err("no connection to %s within %ld ms: the host does not answer (unreachable).\n"
                "Check the address (gatewardenctl search lists the controllers on this "
                "network) or give more time with --timeout.",
                where, timeout);
        return CTL_UNREACHABLE;
    }
    if (err == ECONNREFUSED) {
        ctl_err("cannot connect to %s: connection refused (no controller there).\n"
                "Is gatewarden running there? On the device: systemctl status gatewarden.",
                where);
        return CTL_NOCONNECT;
    }
    ctl_err("cannot connect to %s: %s.\nCheck the address and the network route.", where,
            strerror(err));
    return err == EHOSTUNREACH || err == ENETUNREACH || err == EHOSTDOWN || err == ENETDOWN
               ? CTL_UNREACHABLE
               : CTL_NOCONNECT;
}

// The controller closed (or reset) the connection before its reply began.
static void closed_unread(const char *where)
{
    ctl_err("%s closed the connection without answering.\n"
            "While /etc/gatewarden/manage-allow exists on the controller, it serves only the\n"
            "addresses listed there: add this computer's address to it (or provision it with\n"
            "gatewarden-provision --manage-allow). Otherwise it may be restarting; try again.",
            where);
}

// Connects without blocking beyond the deadline: the socket, or -1 with the
// exit status in *status (reported).
static int open_connection(const struct sockaddr_in *sa, const char *where, long deadline,
                           long timeout, int *status)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        ctl_err("cannot create a socket: %s", strerror(errno));
        *status = CTL_NOANSWER;
        return -1;
    }
    int err = 0;
    if (connect(fd, (const struct sockaddr *)sa, sizeof *sa) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            int w = wait_fd(fd, POLLOUT, deadline);
            socklen_t elen = sizeof err;
            if (w <= 0)
                err = w == 0 ? ETIMEDOUT : errno;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0)
                err = errno;
        }
    }
    if (err != 0) {
        *status = connect_failed(where, err, timeout);
        close(fd);
        return -1;
    }
    return fd;
}

static int send_all(int fd, const char *buf, size_t len, long deadline)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            wait_fd(fd, POLLOUT, deadline) > 0)
            continue;
        return -1;
    }
    return 0;
}

// Reads until the reply is complete: its length, or -1 (reported).
static long read_reply(int fd, char *buf, const char *where, long deadline, long timeout)
{
    struct reply_scan scan;
    memset(&scan, 0, sizeof scan);
    size_t have = 0;
    for (;;) {
        int w = wait_fd(fd, POLLIN, deadline);
        if (w == 0) {
            if (have == 0)
                ctl_err("no reply from %s within %ld ms.\n"
                        "The controller serves one client at a time: is another configuration "
                        "tool connected?\nA card check in progress can hold it for a few "
                        "seconds; try again or give more time with --timeout.",
                        where, timeout);
            else
                ctl_err("the reply from %s stopped after %zu bytes (no more within %ld ms).", where,
                        have, timeout);
            return -1;
        }
        ssize_t n = w < 0 ? -1 : recv(fd, buf + have, REPLY_MAX - have, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0 && errno == ECONNRESET && have == 0) {
            closed_unread(where);
            return -1;
        }
        if (n < 0) {
            ctl_err("receiving from %s failed: %s.", where, strerror(errno));
            return -1;
        }
        if (n == 0) {
            if (have == 0)
                closed_unread(where);
            else
                ctl_err("%s closed the connection in the middle of its reply (%zu bytes).", where,
                        have);
            return -1;
        }
        size_t used = 0;
        int s = reply_scan_feed(&scan, buf + have, (size_t)n, &used);
        if (s == SCAN_DONE)
            return (long)(have + used);
        have += (size_t)n;
        if (s == SCAN_BAD || have >= REPLY_MAX) {
            ctl_err("%s answered something that is not a reply of gatewarden.\n"
                    "Is this port really the controller's command port (%d)?",
                    where, TCP_PORT);
            return -1;
        }
    }
}

int tcp_exchange(const char *request, char **reply, size_t *len)
{
    size_t reqlen = strlen(request);
    if (reqlen > REQUEST_MAX)
        return ctl_usage_error("the request is %zu bytes long; the controller reads at most %d",
                               reqlen, REQUEST_MAX);
    int port = g_ctl.port ? g_ctl.port : TCP_PORT;
    long timeout = g_ctl.timeout_ms ? g_ctl.timeout_ms : (long)CTL_REPLY_TIMEOUT_MS;
    long deadline = ctl_now_ms() + timeout;
    struct sockaddr_in sa;
    int st = ctl_resolve(g_ctl.host, port, SOCK_STREAM, &sa);
    if (st != CTL_OK)
        return st;
    char where[300];
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
    snprintf(where, sizeof where, "%s:%d", ip, port);

    int fd = open_connection(&sa, where, deadline, timeout, &st);
    if (fd < 0)
        return st;
    if (send_all(fd, request, reqlen, deadline) != 0) {
        ctl_err("sending the request to %s failed: %s.", where, strerror(errno));
        close(fd);
        return CTL_NOANSWER;
    }
    char *buf = (char *)malloc(REPLY_MAX + 1);
    if (!buf) {
        close(fd);
        ctl_err("out of memory");
        return CTL_NOANSWER;
    }
    long n = read_reply(fd, buf, where, deadline, timeout);
    close(fd);
    if (n < 0) {
        free(buf);
        return CTL_NOANSWER;
    }
    buf[n] = '\0';
    *reply = buf;
    *len = (size_t)n;
    return CTL_OK;
}

static void print_table(const cJSON *root, const struct reply_view *view)
{
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(root, "Data");
    if (!view->command) {
        // raw: the whole reply
        print_members(stdout, root);
        return;
    }
    if (cJSON_IsObject(data)) {
        print_members(stdout, data);
    } else if (data) {
        char *v = value_text(data);
        const char *label = view->data_label ? view->data_label : "Data";
        print_row(stdout, label, 0, v);
        free(v);
    } else if (view->done) {
        printf("%s\n", view->done);
    }
}

int run_request(char *request, const struct reply_view *view, cJSON **tree)
{
    if (!request) {
        ctl_err("out of memory");
        return CTL_NOANSWER;
    }
    char *text = nullptr;
    size_t len = 0;
    int st = tcp_exchange(request, &text, &len);
    free(request);
    if (st != CTL_OK)
        return st;

    cJSON *root = nullptr;
    int response = 0;
    if (reply_parse(text, len, &root, &response) != 0) {
        ctl_err("the controller's reply is not understood (no number \"response\"):");
        print_text(stderr, text);
        fputc('\n', stderr);
        free(text);
        return CTL_NOANSWER;
    }
    if (g_ctl.json && !tree) {
        char *compact = cJSON_PrintUnformatted(root);
        printf("%s\n", compact ? compact : text);
        free(compact);
    }
    free(text);
    if (response != 1 && view->on_refused) {
        cJSON_Delete(root);
        return view->on_refused();
    }
    if (response != 1) {
        if (view->command)
            ctl_err("the controller refused %s (\"response\": %d).\n%s", view->command, response,
                    view->refused ? view->refused : "");
        else
            ctl_err("the controller refused the request (\"response\": %d).", response);
        cJSON_Delete(root);
        return CTL_REFUSED;
    }
    if (tree) {
        *tree = root;
        return CTL_OK;
    }
    st = view->check ? view->check(cJSON_GetObjectItemCaseSensitive(root, "Data")) : CTL_OK;
    if (st == CTL_OK && !g_ctl.json)
        print_table(root, view);
    cJSON_Delete(root);
    return st;
}
