// Subcommands on the controller's own settings: net get|set, url get|set, raw.
#include "tools/ctl/ctl.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_netopts.h"
#include "tools/ctl/ctl_request.h"
#include "tools/ctl/ctl_run.h"

#include <cstdlib>
#include <cstring>

int cmd_net_get(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "net get",
        "Shows the network settings stored on the controller (IP address, mask,\n"
        "gateway, DNS server, MAC address), as it applies them at boot.\n",
        0, 0};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, nullptr, &st) < 0)
        return st;
    const struct reply_view v = {CMD_GET_NET_CONF, nullptr, nullptr, nullptr};
    return run_request(req_simple(CMD_GET_NET_CONF), &v, nullptr);
}

int cmd_net_set(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "net set [--ip ADDR] [--mask MASK] [--gateway ADDR] [--dns ADDR] [--mac MAC]",
        "Stores new network settings on the controller, which then REBOOTS to apply\n"
        "them. Values not given stay as they are.\n",
        0, 0};
    struct ctl_opt o[] = {NET_OPTIONS};
    int st = 0;
    if (ctl_parse(argc, argv, &u, o, NET_COUNT, nullptr, &st) < 0)
        return st;
    struct net_values nv;
    if ((st = net_options_check(o, &nv)) != CTL_OK)
        return st;
    const struct reply_view v = {
        CMD_SET_NET_CONF, nullptr, "saved; the controller reboots now to apply the new settings",
        "The controller could not write its network settings file; nothing changed and it\n"
        "does not reboot. Look at its log (journalctl -u gatewarden)."};
    return run_request(req_set_net_conf(nullptr, &nv), &v, nullptr);
}

int cmd_url_get(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "url get", "Shows the URL of the access service that the controller asks for every card.\n",
        0, 0};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, nullptr, &st) < 0)
        return st;
    const struct reply_view v = {CMD_GET_URL_ADDR, "URL", nullptr,
                                 "The controller could not read /etc/reader.db; check that it was "
                                 "provisioned (gatewarden-provision)."};
    return run_request(req_simple(CMD_GET_URL_ADDR), &v, nullptr);
}

int cmd_url_set(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "url set URL",
        "Stores the URL of the access service (http:// or https://, at most 255\n"
        "characters). It is used from the next card on.\n",
        1, 1};
    const char *pos[1] = {nullptr};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, pos, &st) < 0)
        return st;
    if (ctl_check_url(pos[0]) != 0)
        return ctl_usage_error("the URL must start with http:// or https://, hold no blanks or "
                               "control characters and have at most 255 characters");
    const struct reply_view v = {CMD_SET_URL_ADDR, nullptr, "ok",
                                 "The controller could not write /etc/reader.db; look at its log "
                                 "(journalctl -u gatewarden)."};
    return run_request(req_set_url(pos[0]), &v, nullptr);
}

int cmd_raw(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "raw JSON",
        "Sends JSON to the command port exactly as given and prints the reply. An\n"
        "unknown command or a malformed request is answered with \"response\" 0.\n"
        "Example: gatewardenctl raw '{\"Command\":\"CMD_GetUrlAddr\"}'\n",
        1, 1};
    const char *pos[1] = {nullptr};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, pos, &st) < 0)
        return st;
    if (!*pos[0])
        return ctl_usage_error("the request is empty");
    const struct reply_view v = {nullptr, nullptr, nullptr, nullptr};
    return run_request(strdup(pos[0]), &v, nullptr);
}
