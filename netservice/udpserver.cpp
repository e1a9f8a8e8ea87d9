// UDP discovery and network set-up on port 8000: a search is answered with
// a broadcast, a set-up addressed to this controller's IP address rewrites
// the network settings and reboots. Nothing else is ever answered.
#include "netservice/udpserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/health.h"
#include "netservice/manage_allow.h"
#include "netservice/netrequest.h"

namespace
{

// Carries out one datagram's request from peer (null: from no socket); its
// outcome (0 success) goes to *outcome.
int parse_data(char *text, const in_addr *peer, int *outcome)
{
    const char *command;
    cJSON *data;
    int code = REQ_UNKNOWN;

    *outcome = -1;
    cJSON *root = request_parse(text, &command, &data);
    if (!root)
        return REQ_UNKNOWN;
    if (strcmp(command, CMD_SEARCH_READER) == 0) {
        code = REQ_SEARCH_READER;
        if (cJSON_IsString(data) && data->valuestring &&
            strcmp(data->valuestring, SEARCH_REQUEST) == 0)
            *outcome = 0;
    } else if (strcmp(command, CMD_SET_NET_CONF) == 0) {
        code = REQ_SET_NET_CONF;
        const char *old_ip = request_string(data, "OldIP");
        if (old_ip && manage_allowed(peer))
            *outcome = net_change(data, old_ip);
    }
    cJSON_Delete(root);
    return code;
}

} // namespace

int udp_request(char *text, int *outcome)
{
    return parse_data(text, nullptr, outcome);
}

int sendBroadcase(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd == -1) {
        perror("Create socket failed");
        exit(-1);
    }
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sendto(fd, SEARCH_ANSWER, strlen(SEARCH_ANSWER), 0, reinterpret_cast<sockaddr *>(&to),
           sizeof to);
    close(fd);
    return 0;
}

void *thread_udpserver(void *arg)
{
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(UDP_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);

    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd == -1) {
        perror("Create socket failed");
        exit(-1);
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1) {
        perror("Server bind failed");
        exit(-1);
    }

    for (;;) {
        char buf[REQUEST_BUF];
        sockaddr_in from;
        socklen_t fromlen = sizeof from;

        memset(buf, 0, sizeof buf);
        health_idle(HEALTH_UDP);
        ssize_t n =
            recvfrom(fd, buf, sizeof buf - 1, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("Receive data failed");
            exit(-1);
        }
        health_busy(HEALTH_UDP);
        int outcome;
        int code = parse_data(buf, &from.sin_addr, &outcome);
        if (outcome != 0)
            continue;
        if (code == REQ_SET_NET_CONF)
            reboot_device();
        else if (code == REQ_SEARCH_READER)
            sendBroadcase(ntohs(from.sin_port));
    }
    return nullptr;
}
