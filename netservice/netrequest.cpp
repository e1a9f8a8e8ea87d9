// Reading management requests, and the network change that the UDP set-up
// and the TCP command share.
#include "netservice/netrequest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "common/log.h"

const char *const NET_MEMBERS[NET_ENTRIES] = {"IP", "Mask", "Gateway", "DNS", "MAC"};

cJSON *request_parse(const char *text, const char **command, cJSON **data)
{
    cJSON *root = cJSON_Parse(text);
    if (!cJSON_IsObject(root)) {
        cJSON_Delete(root);
        return nullptr;
    }
    const char *name = request_string(root, "Command");
    if (!name) {
        cJSON_Delete(root);
        return nullptr;
    }
    *command = name;
    *data = cJSON_GetObjectItem(root, "Data");
    return root;
}

int request_int(const cJSON *obj, const char *key, int *value)
{
    if (!cJSON_IsObject(obj))
        return -1;
    const cJSON *item = cJSON_GetObjectItem(obj, key);
    if (!item)
        return -1;
    if (cJSON_IsNumber(item))
        *value = item->valueint;
    else
        *value = cJSON_IsTrue(item) ? 1 : 0;
    return 0;
}

const char *request_string(const cJSON *obj, const char *key)
{
    if (!cJSON_IsObject(obj))
        return nullptr;
    const cJSON *item = cJSON_GetObjectItem(obj, key);
    if (!cJSON_IsString(item) || !item->valuestring)
        return nullptr;
    return item->valuestring;
}

namespace
{

// Whether value has the form of entry i; prints why not.
bool net_value_valid(int i, const char *value)
{
    static const char *const form[NET_ENTRIES] = {
        "an IPv4 address", "a netmask such as 255.255.255.0", "an IPv4 address", "an IPv4 address",
        "a MAC address such as 02:00:00:00:00:01"};
    int ok = netconfig_check_value(i, value);
    if (ok != 0)
        log_line(LOG_WARNING, "Network settings refused: %s \"%.63s\" is not %s", NET_MEMBERS[i],
                 value, form[i]);
    return ok == 0;
}

} // namespace

int net_change(const cJSON *data, const char *old_ip)
{
    const char *value[NET_ENTRIES];
    for (int i = 0; i < NET_ENTRIES; i++) {
        value[i] = request_string(data, NET_MEMBERS[i]);
        if (!value[i])
            return -1;
    }

    NetInfo info;
    int ret = -1;
    pthread_mutex_lock(&netconfig_lock);
    memset(&info, 0, sizeof info);
    // Settings that cannot be read match no address; over TCP a missing file
    // is one with no lines at all.
    if ((readNetConfig(&info) != 0 && (old_ip || errno != ENOENT)) ||
        (old_ip && strcmp(old_ip, info.entry[NET_IP].value) != 0))
        goto out; // meant for another controller
    for (int i = 0; i < NET_ENTRIES; i++) {
        if (value[i][0] != '\0' && !net_value_valid(i, value[i]))
            goto out;
    }
    for (int i = 0; i < NET_ENTRIES; i++) {
        NetEntry *e = &info.entry[i];
        if (e->key[0] == '\0') { // a line the file lacks: mended when given
            if (value[i][0] == '\0') {
                log_line(LOG_WARNING, "Network settings refused: %s lacks %s; give it to mend it",
                         NETCONFIG_PATH, NET_MEMBERS[i]);
                goto out;
            }
            memset(e, 0, sizeof *e);
            memcpy(e->key, NETCONFIG_KEYS[i], strlen(NETCONFIG_KEYS[i]));
        }
        if (value[i][0] != '\0' && netinfo_set_value(&info, i, value[i]) != 0)
            goto out; // does not fit: nothing is written
    }
    ret = writeNetConfig(&info);
out:
    pthread_mutex_unlock(&netconfig_lock);
    return ret;
}

void reboot_device(void)
{
    usleep(REBOOT_PAUSE_US);
    if (system("reboot") != 0)
        log_line(LOG_ERR, "reboot failed");
}
