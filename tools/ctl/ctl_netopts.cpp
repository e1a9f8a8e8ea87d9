#include "tools/ctl/ctl_netopts.h"
#include "tools/ctl/ctl.h"

int net_options_check(const struct ctl_opt *o, struct net_values *nv)
{
    static const char *const what[NET_COUNT] = {
        "an IPv4 address", "a netmask such as 255.255.255.0", "an IPv4 address", "an IPv4 address",
        "a MAC address such as 02:00:00:00:00:01"};
    bool any = false;
    for (int k = 0; k < NET_COUNT; k++) {
        const char *val = o[k].value;
        if (!val)
            continue;
        int bad = k == NET_MASK  ? ctl_check_mask(val)
                  : k == NET_MAC ? ctl_check_mac(val)
                                 : ctl_check_ipv4(val);
        if (bad)
            return ctl_usage_error("--%s needs %s (got \"%s\")", o[k].name, what[k], val);
        any = true;
    }
    if (!any)
        return ctl_usage_error("nothing to change: give at least one of --ip, --mask, --gateway, "
                               "--dns, --mac");
    nv->ip = o[NET_IP].value;
    nv->mask = o[NET_MASK].value;
    nv->gateway = o[NET_GATEWAY].value;
    nv->dns = o[NET_DNS].value;
    nv->mac = o[NET_MAC].value;
    return CTL_OK;
}
