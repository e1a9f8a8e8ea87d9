// The network options shared by "net set" (TCP) and "netconf-udp".
#pragma once

#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_request.h"

enum { NET_IP, NET_MASK, NET_GATEWAY, NET_DNS, NET_MAC, NET_COUNT };

// The five options, in the order above, as ctl_opt initialisers.
#define NET_OPTIONS                                                                                \
    {"ip", "ADDR", "new IPv4 address", nullptr},                                                   \
        {"mask", "MASK", "new netmask (255.255.255.0)", nullptr},                                  \
        {"gateway", "ADDR", "new default gateway", nullptr},                                       \
        {"dns", "ADDR", "new DNS server", nullptr},                                                \
    {                                                                                              \
        "mac", "MAC", "new MAC address (02:00:00:00:00:01)", nullptr                               \
    }

// Checks the values given (at least one) and fills nv from them.
// CTL_OK, or CTL_USAGE (reported).
int net_options_check(const struct ctl_opt *o, struct net_values *nv);
