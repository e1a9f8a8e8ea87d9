// Replies of the TCP command set: one object printed with cJSON_Print,
// "response" first, sent in one call.
#include "netservice/tcpreply.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/socket.h>

#include "core/slot.h"
#include "netservice/netrequest.h"
#include "netservice/status.h"
#include "settings/netconfig.h"
#include "settings/readerdb.h"

namespace
{

// Prints the tree, sends the text, frees both.
void send_reply(int fd, cJSON *root)
{
    char *text = cJSON_Print(root);
    if (text) {
        if (send(fd, text, strlen(text), MSG_NOSIGNAL) < 0)
            puts("Send data Failed");
        free(text);
    }
    cJSON_Delete(root);
}

cJSON *reader_info_data(void)
{
    int dev_addr = 0;
    if (readDevAddr(&dev_addr) != 0)
        dev_addr = 0;
    // Left by the hardware thread for this connection's CMD_GetReaderInfo.
    pthread_mutex_lock(&mutex);
    unsigned char relay = tRelay, light = tLight, buzzer = tBuzzer, st = status;
    pthread_mutex_unlock(&mutex);

    cJSON *data = cJSON_CreateObject();
    cJSON_AddItemToObject(data, "devAddr", cJSON_CreateNumber(dev_addr));
    cJSON_AddItemToObject(data, "tRelay", cJSON_CreateNumber(relay));
    cJSON_AddItemToObject(data, "tLight", cJSON_CreateNumber(light));
    cJSON_AddItemToObject(data, "tBuzzer", cJSON_CreateNumber(buzzer));
    cJSON_AddItemToObject(data, "Status", cJSON_CreateNumber(st));
    return data;
}

cJSON *net_conf_data(void)
{
    NetInfo info;
    pthread_mutex_lock(&netconfig_lock);
    memset(&info, 0, sizeof info);
    readNetConfig(&info);
    pthread_mutex_unlock(&netconfig_lock);

    cJSON *data = cJSON_CreateObject();
    for (int i = 0; i < NET_ENTRIES; i++)
        cJSON_AddItemToObject(data, NET_MEMBERS[i], cJSON_CreateString(info.entry[i].value));
    return data;
}

} // namespace

int response(int fd, int value)
{
    cJSON *root = cJSON_CreateObject();
    cJSON_AddItemToObject(root, "response", cJSON_CreateNumber(value));
    send_reply(fd, root);
    return 0;
}

int response_info(int fd, int code)
{
    cJSON *data = nullptr;
    if (code == SLOT_GET_READER_INFO) {
        data = reader_info_data();
    } else if (code == REQ_GET_NET_CONF) {
        data = net_conf_data();
    } else if (code == REQ_GET_STATUS) {
        data = status_report();
    } else if (code == REQ_GET_URL_ADDR) {
        char url[READER_URL_BUF];
        memset(url, 0, sizeof url);
        if (readUrlConfig(url) != 0)
            return response(fd, 0);
        data = cJSON_CreateString(url);
    } else {
        return response(fd, 0);
    }
    cJSON *root = cJSON_CreateObject();
    cJSON_AddItemToObject(root, "response", cJSON_CreateNumber(1));
    cJSON_AddItemToObject(root, "Data", data);
    send_reply(fd, root);
    return 0;
}

void tcp_reply(int fd, int code, int outcome)
{
    switch (code) {
    case SLOT_GET_READER_INFO:
        if (outcome == 0)
            response_info(fd, code);
        else
            response(fd, 0);
        break;
    case REQ_GET_NET_CONF:
    case REQ_GET_URL_ADDR:
    case REQ_GET_STATUS:
        response_info(fd, code);
        break;
    case REQ_SET_NET_CONF:
        response(fd, outcome == 0 ? 1 : 0);
        if (outcome == 0)
            reboot_device();
        break;
    case SLOT_SET_READER_INFO:
    case SLOT_BUZZER:
    case SLOT_RELAY:
    case SLOT_LIGHT:
    case SLOT_DEVICE:
    case REQ_SET_URL_ADDR:
        response(fd, outcome == 0 ? 1 : 0);
        break;
    default:
        response(fd, 0);
        break;
    }
}
