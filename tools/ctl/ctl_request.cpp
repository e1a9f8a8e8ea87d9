// The request texts the tool sends: compact JSON objects, built here only.
#include "tools/ctl/ctl.h"

// Prints the tree compactly and releases it.
static char *finish(cJSON *root, bool ok)
{
    char *text = ok ? cJSON_PrintUnformatted(root) : nullptr;
    cJSON_Delete(root);
    return text;
}

static cJSON *command_object(const char *command)
{
    cJSON *root = cJSON_CreateObject();
    if (root && !cJSON_AddStringToObject(root, "Command", command)) {
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

char *req_simple(const char *command)
{
    cJSON *root = command_object(command);
    return root ? finish(root, true) : nullptr;
}

char *req_set_reader_info(long devaddr, long relay, long light, long buzzer, long status)
{
    cJSON *root = command_object(CMD_SET_READER_INFO);
    if (!root)
        return nullptr;
    cJSON *data = cJSON_AddObjectToObject(root, "Data");
    bool ok = data && cJSON_AddNumberToObject(data, "devAddr", (double)devaddr) &&
              cJSON_AddNumberToObject(data, "tRelay", (double)relay) &&
              cJSON_AddNumberToObject(data, "tLight", (double)light) &&
              cJSON_AddNumberToObject(data, "tBuzzer", (double)buzzer) &&
              cJSON_AddNumberToObject(data, "Status", (double)status);
    return finish(root, ok);
}

char *req_ctr_device(long light, long buzzer, long relay)
{
    cJSON *root = command_object(CMD_CTR_DEVICE);
    if (!root)
        return nullptr;
    cJSON *data = cJSON_AddObjectToObject(root, "Data");
    bool ok = data && cJSON_AddNumberToObject(data, "Light", (double)light) &&
              cJSON_AddNumberToObject(data, "Buzzer", (double)buzzer) &&
              cJSON_AddNumberToObject(data, "Relay", (double)relay);
    return finish(root, ok);
}

static const char *or_empty(const char *s)
{
    return s ? s : "";
}

char *req_set_net_conf(const char *old_ip, const struct net_values *v)
{
    cJSON *root = command_object(CMD_SET_NET_CONF);
    if (!root)
        return nullptr;
    cJSON *data = cJSON_AddObjectToObject(root, "Data");
    bool ok = data != nullptr;
    if (ok && old_ip)
        ok = cJSON_AddStringToObject(data, "OldIP", old_ip) != nullptr;
    ok = ok && cJSON_AddStringToObject(data, "IP", or_empty(v->ip)) &&
         cJSON_AddStringToObject(data, "Mask", or_empty(v->mask)) &&
         cJSON_AddStringToObject(data, "Gateway", or_empty(v->gateway)) &&
         cJSON_AddStringToObject(data, "DNS", or_empty(v->dns)) &&
         cJSON_AddStringToObject(data, "MAC", or_empty(v->mac));
    return finish(root, ok);
}

char *req_set_url(const char *url)
{
    cJSON *root = command_object(CMD_SET_URL_ADDR);
    if (!root)
        return nullptr;
    return finish(root, cJSON_AddStringToObject(root, "Data", url) != nullptr);
}

char *req_search(void)
{
    cJSON *root = command_object(CMD_SEARCH_READER);
    if (!root)
        return nullptr;
    return finish(root, cJSON_AddStringToObject(root, "Data", SEARCH_REQUEST) != nullptr);
}
