#include "tools/ctl/ctl_udp.h"
#include "tools/ctl/ctl.h"
#include "tools/ctl/ctl_args.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

long udp_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int interface_broadcast(const char *ifname, struct in_addr *out)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        ctl_err("cannot list the network interfaces: %s", strerror(errno));
        return CTL_NOANSWER;
    }
    bool seen = false, found = false;
    for (struct ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_name || strcmp(i->ifa_name, ifname) != 0)
            continue;
        seen = true;
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_BROADCAST) &&
            i->ifa_broadaddr) {
            *out = ((const struct sockaddr_in *)i->ifa_broadaddr)->sin_addr;
            found = true;
            break;
        }
    }
    freeifaddrs(list);
    if (found)
        return CTL_OK;
    if (!seen)
        return ctl_usage_error("there is no network interface '%s' (ip link lists them)", ifname);
    return ctl_usage_error("interface '%s' has no IPv4 broadcast address; give the address with "
                           "--to instead",
                           ifname);
}

int udp_destination(const char *to, const char *ifname, struct sockaddr_in *dst)
{
    memset(dst, 0, sizeof *dst);
    dst->sin_family = AF_INET;
    dst->sin_port = htons((uint16_t)(g_ctl.port ? g_ctl.port : CTL_UDP_PORT));
    if (to && ifname)
        return ctl_usage_error("give either --to or --interface, not both");
    if (ifname)
        return interface_broadcast(ifname, &dst->sin_addr);
    if (!to) {
        dst->sin_addr.s_addr = htonl(INADDR_BROADCAST);
        return CTL_OK;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    int r = getaddrinfo(to, nullptr, &hints, &res);
    if (r != 0 || !res)
        return ctl_usage_error("cannot resolve '%s': %s", to, gai_strerror(r));
    dst->sin_addr = ((const struct sockaddr_in *)res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return CTL_OK;
}

int udp_open(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ctl_err("cannot create a UDP socket: %s", strerror(errno));
        return -1;
    }
    int one = 1;
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
        bind(fd, (const struct sockaddr *)&local, sizeof local) != 0) {
        ctl_err("cannot prepare the UDP socket: %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int udp_send(int fd, const char *text, const struct sockaddr_in *dst)
{
    size_t len = strlen(text);
    ssize_t n = sendto(fd, text, len, 0, (const struct sockaddr *)dst, sizeof *dst);
    if (n == (ssize_t)len)
        return 0;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dst->sin_addr, ip, sizeof ip);
    int err = n < 0 ? errno : EMSGSIZE;
    if (err == ENETUNREACH)
        ctl_err("cannot send to %s:%d: no route (%s).\n"
                "Choose the network with --interface IF, or send to one address with --to.",
                ip, ntohs(dst->sin_port), strerror(err));
    else
        ctl_err("cannot send to %s:%d: %s.", ip, ntohs(dst->sin_port), strerror(err));
    return -1;
}

long udp_receive(int fd, char *buf, unsigned long cap, struct sockaddr_in *from, long deadline)
{
    for (;;) {
        long left = deadline - udp_now_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            ctl_err("waiting for answers failed: %s", strerror(errno));
            return -1;
        }
        if (r == 0)
            return 0;
        socklen_t alen = sizeof *from;
        ssize_t n = recvfrom(fd, buf, cap - 1, 0, (struct sockaddr *)from, &alen);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == ECONNREFUSED))
            continue; // an ICMP error from a unicast search is not a datagram
        if (n < 0) {
            ctl_err("receiving answers failed: %s", strerror(errno));
            return -1;
        }
        buf[n] = '\0';
        if (n == 0)
            continue; // an empty datagram is nobody's answer
        return (long)n;
    }
}
