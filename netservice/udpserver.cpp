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
#include "netservice/netrequest.h"

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
        mgmt_result res;
        mgmt_handle(buf, MGMT_UDP, &from.sin_addr, &res);
        cJSON_Delete(res.data); // nothing sent over UDP carries data
        if (!res.cmd || res.outcome != 0)
            continue;
        if (res.cmd->reply == REPLY_REBOOT)
            reboot_device();
        else if (res.cmd->reply == REPLY_SEARCH)
            sendBroadcase(ntohs(from.sin_port));
    }
    return nullptr;
}
