// Subcommands on the controller's TCP command port: the reader module's
// settings and outputs (reader get|set, buzzer, relay, light, output), and
// the controller's own settings (net get|set, url get|set), and raw.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/common/url_check.h"
#include "tools/ctl/ctl.h"

static const char READER_REFUSED[] =
    "The reader module did not carry it out: it did not answer, or answered with a\n"
    "failure. Check its serial cable and power; the controller's log (journalctl -u\n"
    "gatewarden) tells which.";

int cmd_reader_get(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "reader get",
        "Reads the reader module's settings record (relay, light and buzzer settings and\n"
        "status) and the controller's device address.\n",
        0, 0, false};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, nullptr, &st) < 0)
        return st;
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view v = {CMD_GET_READER_INFO, nullptr, nullptr,
                                 READER_REFUSED,      nullptr, nullptr};
    return run_request(req_simple(CMD_GET_READER_INFO), &v, nullptr);
}

// Takes the current values for the settings not given on the command line.
static int read_current(long cur[5])
{
    const struct reply_view v = {CMD_GET_READER_INFO,
                                 nullptr,
                                 nullptr,
                                 "Reading the current settings failed; give all five options to "
                                 "set them without reading first.",
                                 nullptr,
                                 nullptr};
    cJSON *tree = nullptr;
    int st = run_request(req_simple(CMD_GET_READER_INFO), &v, &tree);
    if (st != CTL_OK)
        return st;
    static const char *const keys[5] = {"devAddr", "tRelay", "tLight", "tBuzzer", "Status"};
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(tree, "Data");
    for (int k = 0; k < 5; k++) {
        const cJSON *n = cJSON_GetObjectItemCaseSensitive(data, keys[k]);
        if (!cJSON_IsNumber(n)) {
            ctl_err("the controller's settings reply lacks \"%s\"; give all five options.",
                    keys[k]);
            cJSON_Delete(tree);
            return CTL_NOANSWER;
        }
        cur[k] = n->valueint;
    }
    cJSON_Delete(tree);
    return CTL_OK;
}

int cmd_reader_set(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "reader set [--devaddr N] [--relay N] [--light N] [--buzzer N] [--status N]",
        "Writes the reader module's settings record and stores the device address.\n"
        "Settings not given keep their current values, read first with reader get.\n",
        0, 0, false};
    struct ctl_opt o[] = {
        {"devaddr", "N", "device address sent with every access check", nullptr},
        {"relay", "N", "relay setting of the reader module (0-255)", nullptr},
        {"light", "N", "light setting (0-255)", nullptr},
        {"buzzer", "N", "buzzer setting (0-255)", nullptr},
        {"status", "N", "status setting (0-255)", nullptr},
    };
    int st = 0;
    if (ctl_parse(argc, argv, &u, o, 5, nullptr, &st) < 0)
        return st;
    long v[5] = {0, 0, 0, 0, 0};
    bool all = true;
    for (int k = 0; k < 5; k++) {
        long lo = k == 0 ? INT_MIN : 0, hi = k == 0 ? INT_MAX : 255;
        if (ctl_opt_long(&o[k], lo, hi, &v[k]) != 0)
            return CTL_USAGE;
        all = all && o[k].value;
    }
    if (!o[0].value && !o[1].value && !o[2].value && !o[3].value && !o[4].value)
        return ctl_usage_error("nothing to set: give at least one of --devaddr, --relay, "
                               "--light, --buzzer, --status");
    if (ctl_fan_out(&st) != 0)
        return st;
    if (!all) {
        long cur[5];
        st = read_current(cur);
        if (st != CTL_OK)
            return st;
        for (int k = 0; k < 5; k++)
            if (!o[k].value)
                v[k] = cur[k];
    }
    const struct reply_view view = {CMD_SET_READER_INFO, nullptr, "ok",
                                    READER_REFUSED,      nullptr, nullptr};
    return run_request(req_set_reader_info(v[0], v[1], v[2], v[3], v[4]), &view, nullptr);
}

static int output_command(int argc, char **argv, const char *name, const char *command,
                          const char *what)
{
    struct ctl_usage u = {name, what, 0, 0, false};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, nullptr, &st) < 0)
        return st;
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view v = {command, nullptr, "ok", READER_REFUSED, nullptr, nullptr};
    return run_request(req_simple(command), &v, nullptr);
}

int cmd_buzzer(int argc, char **argv)
{
    return output_command(argc, argv, "buzzer", CMD_CTR_BUZZER,
                          "Sounds the reader module's buzzer as its settings say.\n");
}

int cmd_relay(int argc, char **argv)
{
    return output_command(argc, argv, "relay", CMD_CTR_RELAY,
                          "Works the gate relay as the reader module's settings say\n"
                          "(the gate opens).\n");
}

int cmd_light(int argc, char **argv)
{
    return output_command(argc, argv, "light", CMD_CTR_LIGHT,
                          "Switches the reader module's light as its settings say.\n");
}

int cmd_output(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "output [--light N] [--buzzer N] [--relay N]",
        "Sets light, buzzer and relay in one command, as the controller does after an\n"
        "access check. Codes not given are 0. Light codes 0-5 are the colours of the\n"
        "access service's answer; relay 1 opens the gate.\n",
        0, 0, false};
    struct ctl_opt o[] = {
        {"light", "N", "light code (0-255; 0-5 the usual colours)", nullptr},
        {"buzzer", "N", "buzzer code (0-255)", nullptr},
        {"relay", "N", "relay code (0-255; 1 opens)", nullptr},
    };
    int st = 0;
    if (ctl_parse(argc, argv, &u, o, 3, nullptr, &st) < 0)
        return st;
    long v[3] = {0, 0, 0};
    for (int k = 0; k < 3; k++)
        if (ctl_opt_long(&o[k], 0, 255, &v[k]) != 0)
            return CTL_USAGE;
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view view = {CMD_CTR_DEVICE, nullptr, "ok",
                                    READER_REFUSED, nullptr, nullptr};
    return run_request(req_ctr_device(v[0], v[1], v[2]), &view, nullptr);
}

// A controller without /etc/eth0-setting answers with five empty values.
static int net_settings_held(const cJSON *data)
{
    for (const cJSON *m = data ? data->child : nullptr; m; m = m->next)
        if (!cJSON_IsString(m) || m->valuestring[0] != '\0')
            return CTL_OK;
    ctl_err("the controller holds no network settings (its /etc/eth0-setting is missing or\n"
            "empty); it keeps the address it was started with. Give it settings with net set,\n"
            "or on the device with gatewarden-provision.");
    return CTL_REFUSED;
}

int cmd_net_get(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "net get",
        "Shows the network settings stored on the controller (IP address, mask,\n"
        "gateway, DNS server, MAC address), as it applies them at boot.\n",
        0, 0, false};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, nullptr, &st) < 0)
        return st;
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view v = {CMD_GET_NET_CONF, nullptr,           nullptr,
                                 nullptr,          net_settings_held, nullptr};
    return run_request(req_simple(CMD_GET_NET_CONF), &v, nullptr);
}

int cmd_net_set(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "net set [--ip ADDR] [--mask MASK] [--gateway ADDR] [--dns ADDR] [--mac MAC]",
        "Stores new network settings on the controller, which then REBOOTS to apply\n"
        "them. Values not given stay as they are.\n",
        0, 0, false};
    struct ctl_opt o[] = {NET_OPTIONS};
    int st = 0;
    if (ctl_parse(argc, argv, &u, o, NET_COUNT, nullptr, &st) < 0)
        return st;
    struct net_values nv;
    if ((st = net_options_check(o, &nv)) != CTL_OK)
        return st;
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view v = {
        CMD_SET_NET_CONF,
        nullptr,
        "saved; the controller reboots now to apply the new settings",
        "The controller could not write its network settings file; nothing changed and it\n"
        "does not reboot. Look at its log (journalctl -u gatewarden).",
        nullptr,
        nullptr};
    return run_request(req_set_net_conf(nullptr, &nv), &v, nullptr);
}

int cmd_url_get(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "url get", "Shows the URL of the access service that the controller asks for every card.\n",
        0, 0, false};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, nullptr, &st) < 0)
        return st;
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view v = {CMD_GET_URL_ADDR,
                                 "URL",
                                 nullptr,
                                 "The controller could not read /etc/reader.db; check that it was "
                                 "provisioned (gatewarden-provision).",
                                 nullptr,
                                 nullptr};
    return run_request(req_simple(CMD_GET_URL_ADDR), &v, nullptr);
}

static int quiet_refusal(void)
{
    return CTL_REFUSED;
}

// Reads the controller's status report: CTL_OK with *data its "Data" (release
// the returned tree with cJSON_Delete), or another status (reported; a
// refusal only when refused is not null).
static int read_status(const char *refused, cJSON **tree, const cJSON **data)
{
    const struct reply_view v = {CMD_GET_STATUS, nullptr, nullptr,
                                 refused,        nullptr, refused ? nullptr : quiet_refusal};
    int st = run_request(req_simple(CMD_GET_STATUS), &v, tree);
    *data = st == CTL_OK ? cJSON_GetObjectItemCaseSensitive(*tree, "Data") : nullptr;
    return st;
}

static const char *url_sent; // the URL of url set

// url set refused: an http URL while the controller holds its CA file, or a
// failed write. Tells them apart by the URL sent and the status report.
static int url_refused(void)
{
    cJSON *tree = nullptr;
    const cJSON *data = nullptr;
    bool http = strncmp(url_sent, "https://", 8) != 0;
    bool ca = false;
    if (http && read_status(nullptr, &tree, &data) == CTL_OK) {
        const cJSON *p = cJSON_GetObjectItemCaseSensitive(data, "protections");
        ca = cJSON_IsTrue(
            cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(p, "ca"), "on"));
    }
    cJSON_Delete(tree);
    if (ca)
        ctl_err("refused: an https URL is required while /etc/gatewarden/ca.pem exists");
    else
        ctl_err("the controller refused %s.\nThe controller could not write /etc/reader.db; look "
                "at its log (journalctl -u gatewarden).",
                CMD_SET_URL_ADDR);
    return CTL_REFUSED;
}

int cmd_url_set(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "url set URL",
        "Stores the URL of the access service (http:// or https://, at most 255\n"
        "characters). It is used from the next card on.\n",
        1, 1, false};
    const char *pos[1] = {nullptr};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, pos, &st) < 0)
        return st;
    if (tool_check_url(pos[0]) != 0)
        return ctl_usage_error("the URL must start with http:// or https://, hold no blanks or "
                               "control characters and have at most 255 characters");
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view v = {CMD_SET_URL_ADDR, nullptr, "ok", nullptr, nullptr, url_refused};
    url_sent = pos[0];
    return run_request(req_set_url(pos[0]), &v, nullptr);
}

int cmd_raw(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "raw JSON",
        "Sends JSON to the command port exactly as given and prints the reply. An\n"
        "unknown command or a malformed request is answered with \"response\" 0.\n"
        "Example: gatewardenctl raw '{\"Command\":\"CMD_GetUrlAddr\"}'\n",
        1, 1, false};
    const char *pos[1] = {nullptr};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, pos, &st) < 0)
        return st;
    if (!*pos[0])
        return ctl_usage_error("the request is empty");
    if (strlen(pos[0]) > REQUEST_MAX)
        return ctl_usage_error("the request has %zu bytes; the controller takes at most %d",
                               strlen(pos[0]), REQUEST_MAX);
    if (ctl_fan_out(&st) != 0)
        return st;
    const struct reply_view v = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return run_request(strdup(pos[0]), &v, nullptr);
}

// The members of obj as "name  value" rows, nested objects as "outer.inner".
static void print_flat(const cJSON *obj, const std::string &prefix, int width)
{
    for (const cJSON *m = obj->child; m; m = m->next) {
        std::string name = prefix + (m->string ? m->string : "");
        if (cJSON_IsObject(m)) {
            print_flat(m, name + ".", width);
            continue;
        }
        char *v = value_text(m);
        print_row(stdout, name.c_str(), width, v);
        free(v);
    }
}

int cmd_status(int argc, char **argv)
{
    static const struct ctl_usage u = {
        "status",
        "Shows how the controller is doing: version, uptime, its threads, the reader\n"
        "port and polls a second, the cards since it started, the last service error,\n"
        "its protections and settings files. Exit status 1 when it is not healthy.\n",
        0, 0, false};
    int st = 0;
    if (ctl_parse(argc, argv, &u, nullptr, 0, nullptr, &st) < 0)
        return st;
    if (ctl_fan_out(&st) != 0)
        return st;
    cJSON *tree = nullptr;
    const cJSON *data = nullptr;
    st = read_status("The controller has no status report: it runs an older gatewarden.", &tree,
                     &data);
    if (st != CTL_OK)
        return st;
    if (g_ctl.json) {
        char *text = cJSON_PrintUnformatted(tree);
        printf("%s\n", text ? text : "null");
        free(text);
    } else if (cJSON_IsObject(data)) {
        print_flat(data, "", 28);
    }
    st = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(data, "healthy")) ? CTL_OK : CTL_REFUSED;
    cJSON_Delete(tree);
    return st;
}
