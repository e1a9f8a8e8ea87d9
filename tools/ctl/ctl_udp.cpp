// Subcommands on the controller's UDP port (search, netconf-udp) and the
// datagrams they send and receive.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/ctl/ctl.h"

// Receive buffer for answers: longer than any answer, so that a longer
// datagram is never cut into one that looks like an answer.
enum { ANSWER_BUF = 1024 };

// The broadcast address of interface ifname: CTL_OK, or CTL_USAGE / CTL_NOANSWER (reported).
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

// Where a UDP request goes: the address given with --to (a name or IPv4
// address), else the broadcast address of the interface given with
// --interface, else 255.255.255.255; the port is g_ctl.port or UDP_PORT.
// CTL_OK, or another exit status (reported).
static int udp_destination(const char *to, const char *ifname, struct sockaddr_in *dst)
{
    int port = g_ctl.port ? g_ctl.port : UDP_PORT;
    if (to && ifname)
        return ctl_usage_error("give either --to or --interface, not both");
    if (to)
        return ctl_resolve(to, port, SOCK_DGRAM, dst);
    memset(dst, 0, sizeof *dst);
    dst->sin_family = AF_INET;
    dst->sin_port = htons((uint16_t)port);
    if (ifname)
        return interface_broadcast(ifname, &dst->sin_addr);
    dst->sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return CTL_OK;
}

// A UDP socket allowed to broadcast, bound to a port of its own that the
// controllers answer to. The socket, or -1 (reported).
static int udp_open(void)
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

// Sends text as one datagram. 0, or -1 (reported with what to try).
static int udp_send(int fd, const char *text, const struct sockaddr_in *dst)
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

// Receives one datagram before the deadline (ctl_now_ms): its length (at most
// cap - 1, NUL-terminated), 0 when the deadline passed, -1 on failure (reported).
static long udp_receive(int fd, char *buf, unsigned long cap, struct sockaddr_in *from,
                        long deadline)
{
    for (;;) {
        long left = deadline - ctl_now_ms();
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

// Controllers told apart by the source address of their answers.
enum { FOUND_MAX = 256 };
struct found {
    struct in_addr addr[FOUND_MAX];
    int answers[FOUND_MAX];
    int count;
};

static void note_answer(struct found *f, struct in_addr a)
{
    for (int k = 0; k < f->count; k++) {
        if (f->addr[k].s_addr == a.s_addr) {
            f->answers[k]++;
            return;
        }
    }
    if (f->count < FOUND_MAX) {
        f->addr[f->count] = a;
        f->answers[f->count++] = 1;
    }
}

static void print_found(const struct found *f)
{
    char ip[INET_ADDRSTRLEN];
    if (g_ctl.json) {
        printf("[");
        for (int k = 0; k < f->count; k++) {
            inet_ntop(AF_INET, &f->addr[k], ip, sizeof ip);
            printf("%s{\"address\":\"%s\",\"answers\":%d}", k ? "," : "", ip, f->answers[k]);
        }
        printf("]\n");
        return;
    }
    for (int k = 0; k < f->count; k++) {
        inet_ntop(AF_INET, &f->addr[k], ip, sizeof ip);
        printf("%s\n", ip);
    }
}

// Sends the search to dst and notes every controller that answers within
// the time-out in f. CTL_OK when one answered, else CTL_NOANSWER (reported).
static int search(const struct sockaddr_in *dst, struct found *f)
{
    long timeout = g_ctl.timeout_ms ? g_ctl.timeout_ms : (long)CTL_SEARCH_TIMEOUT_MS;
    char *request = req_search();
    int fd = request ? udp_open() : -1;
    if (fd < 0 || udp_send(fd, request, dst) != 0) {
        free(request);
        if (fd >= 0)
            close(fd);
        return CTL_NOANSWER;
    }
    free(request);
    long deadline = ctl_now_ms() + timeout;
    char buf[ANSWER_BUF];
    struct sockaddr_in from;
    long n;
    while ((n = udp_receive(fd, buf, sizeof buf, &from, deadline)) > 0) {
        if ((size_t)n == sizeof SEARCH_ANSWER - 1 && memcmp(buf, SEARCH_ANSWER, (size_t)n) == 0)
            note_answer(f, from.sin_addr);
    }
    close(fd);
    if (n == 0 && f->count == 0)
        ctl_err("no controller answered within %ld ms.\n"
                "Controllers answer only on their own network segment (routers do not pass\n"
                "broadcasts). Choose the network with --interface IF, ask one address with\n"
                "--to ADDR, or give more time with --timeout. A firewall must let UDP port\n"
                "8000 out and the answers (broadcasts to this tool's port) in.",
                timeout);
    return n < 0 || f->count == 0 ? CTL_NOANSWER : CTL_OK;
}

int cmd_search(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "search [--to ADDR | --interface IF]",
        "Finds the controllers on this network segment: sends the search datagram to\n"
        "UDP port 8000 (by default to 255.255.255.255) and lists the address of every\n"
        "controller that answers within the time-out, one a line.\n",
        0, 0, true};
    struct ctl_opt o[] = {
        {"to", "ADDR", "send the search to this address (a host or a broadcast address)", nullptr},
        {"interface", "IF", "send it to the broadcast address of this interface", nullptr},
    };
    int st = 0;
    if (ctl_parse(argc, argv, &u, o, 2, nullptr, &st) < 0)
        return st;
    struct sockaddr_in dst;
    if ((st = udp_destination(o[0].value, o[1].value, &dst)) != CTL_OK)
        return st;
    struct found *f = (struct found *)calloc(1, sizeof *f);
    st = f ? search(&dst, f) : CTL_NOANSWER;
    if (st != CTL_NOANSWER || (f && f->count == 0))
        print_found(f);
    free(f);
    return st;
}

int ctl_search_hosts(const char *where)
{
    struct sockaddr_in dst;
    char host[256];
    int port = 0;
    int st = ctl_split_host_port(where, host, sizeof host, &port) != 0
                 ? ctl_usage_error("--all needs ADDR[:PORT] (got \"%s\")", where)
                 : ctl_resolve(host, port ? port : UDP_PORT, SOCK_DGRAM, &dst);
    struct found *f = st == CTL_OK ? (struct found *)calloc(1, sizeof *f) : nullptr;
    st = f ? search(&dst, f) : st == CTL_OK ? CTL_NOANSWER : st;
    char ip[INET_ADDRSTRLEN];
    for (int k = 0; st == CTL_OK && k < f->count; k++)
        if (inet_ntop(AF_INET, &f->addr[k], ip, sizeof ip) == nullptr || ctl_add_host(ip) != 0)
            st = CTL_NOANSWER;
    free(f);
    return st;
}

int cmd_netconf_udp(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "netconf-udp --old-ip ADDR [--ip ADDR] [--mask MASK] [--gateway ADDR] [--dns ADDR]\n"
        "                     [--mac MAC] [--to ADDR | --interface IF]",
        "Gives a controller new network settings over UDP port 8000 without a TCP\n"
        "connection, for instance when its address is not on this tool's network. By\n"
        "default the request is broadcast; only the controller whose current IP address\n"
        "is --old-ip applies it, rewrites its settings and REBOOTS. Controllers send no\n"
        "answer, so nothing confirms that one applied it: run search afterwards to see\n"
        "it at its new address.\n",
        0, 0, true};
    struct ctl_opt o[] = {
        NET_OPTIONS,
        {"old-ip", "ADDR", "current IPv4 address of the controller to change (required)", nullptr},
        {"to", "ADDR", "send to this address instead of broadcasting", nullptr},
        {"interface", "IF", "broadcast on this interface", nullptr},
    };
    int st = 0;
    if (ctl_parse(argc, argv, &u, o, NET_COUNT + 3, nullptr, &st) < 0)
        return st;
    const char *old_ip = o[NET_COUNT].value;
    if (!old_ip)
        return ctl_usage_error("--old-ip is required: the controller's current IPv4 address");
    if (netaddr_check_ipv4(old_ip) != 0)
        return ctl_usage_error("--old-ip needs an IPv4 address (got \"%s\")", old_ip);
    struct net_values nv;
    if ((st = net_options_check(o, &nv)) != CTL_OK)
        return st;
    struct sockaddr_in dst;
    if ((st = udp_destination(o[NET_COUNT + 1].value, o[NET_COUNT + 2].value, &dst)) != CTL_OK)
        return st;
    char *request = req_set_net_conf(old_ip, &nv);
    int fd = request ? udp_open() : -1;
    st = fd >= 0 && udp_send(fd, request, &dst) == 0 ? CTL_OK : CTL_NOANSWER;
    free(request);
    if (fd >= 0)
        close(fd);
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dst.sin_addr, ip, sizeof ip);
    if (st == CTL_OK && g_ctl.json)
        printf("{\"sent\":\"%s:%d\",\"oldIP\":\"%s\",\"confirmed\":false}\n", ip,
               ntohs(dst.sin_port), old_ip);
    else if (st == CTL_OK)
        printf("sent to %s:%d. Controllers do not answer a set-up, so nothing confirms that\n"
               "a controller at %s exists or applied it; if one did, it reboots now.\n"
               "Run search in a minute to see it at its new address.\n",
               ip, ntohs(dst.sin_port), old_ip);
    return st;
}
