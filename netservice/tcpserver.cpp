// TCP command server on port 8001: one connection at a time, a request is
// what arrives until 200 ms of silence, and every request gets one reply.
#include "netservice/tcpserver.h"

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
#include "core/slot.h"
#include "netservice/manage_allow.h"
#include "netservice/netrequest.h"
#include "netservice/tcpreply.h"
#include "settings/protection.h"
#include "settings/readerdb.h"

long tcp_idle_limit_ms = TCP_IDLE_LIMIT_MS;

namespace
{

enum { TCP_BACKLOG = 10 };

// Reader command: post it to the hardware thread and wait for its own result.
int reader_command(int code, slot_args *args)
{
    return slot_post_wait(code, args);
}

int set_reader_info(const cJSON *data)
{
    int dev_addr, relay, light, buzzer, st;
    if (request_int(data, "devAddr", &dev_addr) || request_int(data, "tRelay", &relay) ||
        request_int(data, "tLight", &light) || request_int(data, "tBuzzer", &buzzer) ||
        request_int(data, "Status", &st))
        return -1;
    slot_args args = {};
    args.t_relay = static_cast<unsigned char>(relay);
    args.t_light = static_cast<unsigned char>(light);
    args.t_buzzer = static_cast<unsigned char>(buzzer);
    args.t_status = static_cast<unsigned char>(st);
    // The reader command runs also when the address cannot be stored.
    int stored = writeDevAddr(dev_addr);
    int ret = reader_command(SLOT_SET_READER_INFO, &args);
    return stored != 0 ? -1 : ret;
}

int ctr_device(const cJSON *data)
{
    int light, buzzer, relay;
    if (request_int(data, "Light", &light) || request_int(data, "Buzzer", &buzzer) ||
        request_int(data, "Relay", &relay))
        return -1;
    slot_args args = {};
    args.light = static_cast<unsigned char>(light);
    args.buzzer = static_cast<unsigned char>(buzzer);
    args.relay = static_cast<unsigned char>(relay);
    return reader_command(SLOT_DEVICE, &args);
}

int ctr_output(int code)
{
    slot_args args = {};
    args.action = 1;
    return reader_command(code, &args);
}

int set_url_addr(const cJSON *data)
{
    if (!cJSON_IsString(data) || !data->valuestring)
        return -1;
    if (strlen(data->valuestring) > READER_URL_MAX)
        return -1; // the access gate client could not use it
    if (!service_url_permitted(data->valuestring)) {
        puts("service URL refused: not https while " PROTECT_CA_FILE " exists");
        return -1;
    }
    return writeUrlConfig(data->valuestring) < 0 ? -1 : 0;
}

// Carries out one request; its outcome (0 success) goes to *outcome.
int parse_data(char *text, int *outcome)
{
    const char *command;
    cJSON *data;
    int code = REQ_UNKNOWN;

    *outcome = -1;
    cJSON *root = request_parse(text, &command, &data);
    if (!root)
        return REQ_UNKNOWN;
    if (strcmp(command, CMD_SET_READER_INFO) == 0) {
        code = SLOT_SET_READER_INFO;
        *outcome = set_reader_info(data);
    } else if (strcmp(command, CMD_GET_READER_INFO) == 0) {
        code = SLOT_GET_READER_INFO;
        slot_args args = {};
        *outcome = reader_command(code, &args);
    } else if (strcmp(command, CMD_CTR_BUZZER) == 0) {
        code = SLOT_BUZZER;
        *outcome = ctr_output(code);
    } else if (strcmp(command, CMD_CTR_RELAY) == 0) {
        code = SLOT_RELAY;
        *outcome = ctr_output(code);
    } else if (strcmp(command, CMD_CTR_LIGHT) == 0) {
        code = SLOT_LIGHT;
        *outcome = ctr_output(code);
    } else if (strcmp(command, CMD_CTR_DEVICE) == 0) {
        code = SLOT_DEVICE;
        *outcome = ctr_device(data);
    } else if (strcmp(command, CMD_SET_NET_CONF) == 0) {
        code = REQ_SET_NET_CONF;
        *outcome = net_change(data, nullptr);
    } else if (strcmp(command, CMD_GET_NET_CONF) == 0) {
        code = REQ_GET_NET_CONF;
        *outcome = 0;
    } else if (strcmp(command, CMD_SET_URL_ADDR) == 0) {
        code = REQ_SET_URL_ADDR;
        *outcome = set_url_addr(data);
    } else if (strcmp(command, CMD_GET_URL_ADDR) == 0) {
        code = REQ_GET_URL_ADDR;
        *outcome = 0;
    } else if (strcmp(command, CMD_GET_STATUS) == 0) {
        code = REQ_GET_STATUS;
        *outcome = 0;
    }
    cJSON_Delete(root);
    return code;
}

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
// to tcp_idle_limit_ms; while another client waits on lfd, up to
// TCP_IDLE_YIELD_MS. 1 when fd is readable (or closed), 0 when it has had
// its time, -1 when the wait fails.
int wait_request(int fd, int lfd)
{
    long long start = mono_ms();
    for (;;) {
        pollfd queue = {lfd, POLLIN, 0};
        bool waiting = poll(&queue, 1, 0) > 0;
        long long left = (waiting ? static_cast<long>(TCP_IDLE_YIELD_MS) : tcp_idle_limit_ms) -
                         (mono_ms() - start);
        if (left <= 0)
            return 0;
        pollfd p[2] = {{fd, POLLIN, 0}, {lfd, static_cast<short>(waiting ? 0 : POLLIN), 0}};
        int r = poll(p, 2, static_cast<int>(left));
        if (r < 0 && errno != EINTR) {
            perror("poll error");
            return -1;
        }
        if (r > 0 && p[0].revents)
            return 1;
    }
}

void serve_connection(int fd, int lfd)
{
    for (;;) {
        char buf[REQUEST_BUF];
        memset(buf, 0, sizeof buf);
        health_idle(HEALTH_TCP);
        // 0: the peer closed or stayed silent too long; -1: the wait failed.
        if (wait_request(fd, lfd) <= 0 || trecvn(fd, buf, sizeof buf - 1, TCP_GAP_MS) <= 0)
            return;
        health_busy(HEALTH_TCP);
        printf("%s\n", log_mask_urls(buf).c_str());
        int outcome;
        int code = parse_data(buf, &outcome);
        tcp_reply(fd, code, outcome);
    }
}

} // namespace

int tcp_request(char *text, int *outcome)
{
    return parse_data(text, outcome);
}

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
    while (remaining > 0) {
        int n = trecv(fd, static_cast<char *>(buf) + total, remaining, timeout);
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
        puts("Server bind failed");
        exit(-1);
    }
    if (listen(lfd, TCP_BACKLOG) == -1) {
        puts("Server listen failed");
        exit(-1);
    }

    for (;;) {
        sockaddr_in peer;
        socklen_t peerlen = sizeof peer;
        health_idle(HEALTH_TCP);
        int fd = accept(lfd, reinterpret_cast<sockaddr *>(&peer), &peerlen);
        if (fd == -1) {
            if (accept_error_passes(errno))
                continue;
            puts("Server accept failed");
            exit(-1);
        }
        char addr[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        if (!manage_allowed(&peer.sin_addr)) {
            printf("Server refused client connect %s\n", addr);
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
