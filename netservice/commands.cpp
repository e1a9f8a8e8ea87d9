// The management commands: the table both services read, and each command's
// handler.
#include "netservice/commands.h"

#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "core/slot.h"
#include "netservice/manage_allow.h"
#include "netservice/netrequest.h"
#include "netservice/status.h"
#include "settings/netconfig.h"
#include "settings/protection.h"
#include "settings/readerdb.h"

namespace
{

// Reader commands: posted to the hardware thread, which answers for itself.

// Reads the numbers keys[0..n-1] of obj into *out[i], their low 8 bits.
// -1 when one is missing (the rest then undefined), else 0.
int request_bytes(const cJSON *obj, const char *const *keys, unsigned char *const *out, int n)
{
    for (int i = 0, v; i < n; i++) {
        if (request_int(obj, keys[i], &v) != 0)
            return -1;
        *out[i] = static_cast<unsigned char>(v);
    }
    return 0;
}

int set_reader_info(const mgmt_request *req, cJSON **)
{
    static const char *const keys[] = {"tRelay", "tLight", "tBuzzer", "Status"};
    slot_args args = {};
    unsigned char *const out[] = {&args.t_relay, &args.t_light, &args.t_buzzer, &args.t_status};
    int dev_addr;
    if (request_int(req->data, "devAddr", &dev_addr) || request_bytes(req->data, keys, out, 4))
        return -1;
    // The reader command runs also when the address cannot be stored.
    int stored = writeDevAddr(dev_addr);
    int ret = slot_post_wait(req->code, &args);
    return stored != 0 ? -1 : ret;
}

// The reader's settings as the hardware thread handed them back, beside the
// stored device address (0 when it cannot be read).
int get_reader_info(const mgmt_request *req, cJSON **data)
{
    slot_args args = {};
    if (slot_post_wait(req->code, &args) != 0)
        return -1;
    int dev_addr = 0;
    if (readDevAddr(&dev_addr) != 0)
        dev_addr = 0;
    *data = cJSON_CreateObject();
    cJSON_AddItemToObject(*data, "devAddr", cJSON_CreateNumber(dev_addr));
    cJSON_AddItemToObject(*data, "tRelay", cJSON_CreateNumber(args.t_relay));
    cJSON_AddItemToObject(*data, "tLight", cJSON_CreateNumber(args.t_light));
    cJSON_AddItemToObject(*data, "tBuzzer", cJSON_CreateNumber(args.t_buzzer));
    cJSON_AddItemToObject(*data, "Status", cJSON_CreateNumber(args.t_status));
    return 0;
}

// CMD_CtrBuzzer, CMD_CtrRelay, CMD_CtrLight: "Data" is not read.
int ctr_output(const mgmt_request *req, cJSON **)
{
    slot_args args = {};
    args.action = 1;
    return slot_post_wait(req->code, &args);
}

int ctr_device(const mgmt_request *req, cJSON **)
{
    static const char *const keys[] = {"Light", "Buzzer", "Relay"};
    slot_args args = {};
    unsigned char *const out[] = {&args.light, &args.buzzer, &args.relay};
    if (request_bytes(req->data, keys, out, 3))
        return -1;
    return slot_post_wait(req->code, &args);
}

// Settings.

// Over UDP only the controller whose IP address is "OldIP" takes it, and
// only from an address that may manage it.
int set_net_conf(const mgmt_request *req, cJSON **)
{
    if (req->service == MGMT_TCP)
        return net_change(req->data, nullptr);
    const char *old_ip = request_string(req->data, "OldIP");
    if (!old_ip || !manage_allowed(req->peer))
        return -1;
    return net_change(req->data, old_ip);
}

int get_net_conf(const mgmt_request *, cJSON **data)
{
    NetInfo info;
    pthread_mutex_lock(&netconfig_lock);
    memset(&info, 0, sizeof info);
    readNetConfig(&info);
    pthread_mutex_unlock(&netconfig_lock);

    *data = cJSON_CreateObject();
    for (int i = 0; i < NET_ENTRIES; i++)
        cJSON_AddItemToObject(*data, NET_MEMBERS[i], cJSON_CreateString(info.entry[i].value));
    return 0;
}

int set_url_addr(const mgmt_request *req, cJSON **)
{
    const cJSON *url = req->data;
    if (!cJSON_IsString(url) || !url->valuestring)
        return -1;
    if (strlen(url->valuestring) > READER_URL_MAX)
        return -1; // the access gate client could not use it
    if (!service_url_permitted(url->valuestring)) {
        log_line(LOG_ERR, "service URL refused: not https while " PROTECT_CA_FILE " exists");
        return -1;
    }
    return writeUrlConfig(url->valuestring) < 0 ? -1 : 0;
}

int get_url_addr(const mgmt_request *, cJSON **data)
{
    char url[READER_URL_BUF];
    memset(url, 0, sizeof url);
    if (readUrlConfig(url) != 0)
        return -1;
    *data = cJSON_CreateString(url);
    return 0;
}

// The health report (see status.h): read-only, always answered.
int get_status(const mgmt_request *, cJSON **data)
{
    *data = status_report();
    return *data ? 0 : -1;
}

// Discovery: the "Data" must be the search text exactly.
int search_reader(const mgmt_request *req, cJSON **)
{
    const cJSON *d = req->data;
    return cJSON_IsString(d) && d->valuestring && strcmp(d->valuestring, SEARCH_REQUEST) == 0 ? 0
                                                                                              : -1;
}

const int BOTH = MGMT_TCP | MGMT_UDP;

} // namespace

// clang-format off
const mgmt_command MGMT_COMMANDS[] = {
    {CMD_SET_READER_INFO, SLOT_SET_READER_INFO, MGMT_TCP, REPLY_RESULT, set_reader_info},
    {CMD_GET_READER_INFO, SLOT_GET_READER_INFO, MGMT_TCP, REPLY_DATA,   get_reader_info},
    {CMD_CTR_BUZZER,      SLOT_BUZZER,          MGMT_TCP, REPLY_RESULT, ctr_output},
    {CMD_CTR_RELAY,       SLOT_RELAY,           MGMT_TCP, REPLY_RESULT, ctr_output},
    {CMD_CTR_LIGHT,       SLOT_LIGHT,           MGMT_TCP, REPLY_RESULT, ctr_output},
    {CMD_CTR_DEVICE,      SLOT_DEVICE,          MGMT_TCP, REPLY_RESULT, ctr_device},
    {CMD_SET_NET_CONF,    REQ_SET_NET_CONF,     BOTH,     REPLY_REBOOT, set_net_conf},
    {CMD_GET_NET_CONF,    REQ_GET_NET_CONF,     MGMT_TCP, REPLY_DATA,   get_net_conf},
    {CMD_SET_URL_ADDR,    REQ_SET_URL_ADDR,     MGMT_TCP, REPLY_RESULT, set_url_addr},
    {CMD_GET_URL_ADDR,    REQ_GET_URL_ADDR,     MGMT_TCP, REPLY_DATA,   get_url_addr},
    {CMD_GET_STATUS,      REQ_GET_STATUS,       MGMT_TCP, REPLY_DATA,   get_status},
    {CMD_SEARCH_READER,   REQ_SEARCH_READER,    MGMT_UDP, REPLY_SEARCH, search_reader},
};
// clang-format on
const size_t MGMT_COMMAND_COUNT = sizeof MGMT_COMMANDS / sizeof MGMT_COMMANDS[0];

const mgmt_command *mgmt_find(const char *name, int service)
{
    for (size_t i = 0; i < MGMT_COMMAND_COUNT; i++)
        if ((MGMT_COMMANDS[i].services & service) && strcmp(MGMT_COMMANDS[i].name, name) == 0)
            return &MGMT_COMMANDS[i];
    return nullptr;
}

int mgmt_handle(char *text, int service, const in_addr *peer, mgmt_result *res)
{
    const char *name;
    cJSON *data;
    *res = {nullptr, -1, nullptr};
    cJSON *root = request_parse(text, &name, &data);
    if (!root)
        return REQ_UNKNOWN;
    res->cmd = mgmt_find(name, service);
    if (res->cmd) {
        mgmt_request req = {res->cmd->code, service, data, peer};
        res->outcome = res->cmd->handler(&req, &res->data);
        if (res->outcome != 0) {
            cJSON_Delete(res->data);
            res->data = nullptr;
        }
    }
    cJSON_Delete(root);
    return res->cmd ? res->cmd->code : REQ_UNKNOWN;
}
