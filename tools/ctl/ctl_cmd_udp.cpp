// Subcommands on the controller's UDP port: search, netconf-udp.
#include "tools/ctl/ctl.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_netopts.h"
#include "tools/ctl/ctl_request.h"
#include "tools/ctl/ctl_udp.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

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

int cmd_search(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "search [--to ADDR | --interface IF]",
        "Finds the controllers on this network segment: sends the search datagram to\n"
        "UDP port 8000 (by default to 255.255.255.255) and lists the address of every\n"
        "controller that answers within the time-out, one a line.\n",
        0, 0};
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
    long timeout = g_ctl.timeout_ms ? g_ctl.timeout_ms : (long)CTL_SEARCH_TIMEOUT_MS;
    char *request = req_search();
    int fd = request ? udp_open() : -1;
    if (fd < 0 || udp_send(fd, request, &dst) != 0) {
        free(request);
        if (fd >= 0)
            close(fd);
        return CTL_NOANSWER;
    }
    free(request);

    struct found *f = (struct found *)calloc(1, sizeof *f);
    if (!f) {
        close(fd);
        return CTL_NOANSWER;
    }
    long deadline = udp_now_ms() + timeout;
    char buf[1024];
    struct sockaddr_in from;
    long n;
    while ((n = udp_receive(fd, buf, sizeof buf, &from, deadline)) > 0) {
        if ((size_t)n == strlen(SEARCH_ANSWER) && memcmp(buf, SEARCH_ANSWER, (size_t)n) == 0)
            note_answer(f, from.sin_addr);
    }
    close(fd);
    st = n < 0 ? CTL_NOANSWER : f->count > 0 ? CTL_OK : CTL_NOANSWER;
    if (n == 0 && f->count == 0)
        ctl_err("no controller answered within %ld ms.\n"
                "Controllers answer only on their own network segment (routers do not pass\n"
                "broadcasts). Choose the network with --interface IF, ask one address with\n"
                "--to ADDR, or give more time with --timeout. A firewall must let UDP port\n"
                "8000 out and the answers (broadcasts to this tool's port) in.",
                timeout);
    if (n == 0)
        print_found(f);
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
        "answer: run search afterwards to see it at its new address.\n",
        0, 0};
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
    if (ctl_check_ipv4(old_ip) != 0)
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
    if (st == CTL_OK) {
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &dst.sin_addr, ip, sizeof ip);
        printf("sent to %s:%d; the controller at %s applies it and reboots (no answer comes)\n", ip,
               ntohs(dst.sin_port), old_ip);
    }
    return st;
}
