// Replies of the TCP command set: one object printed with cJSON_Print,
// "response" first, sent in one call.
#include "netservice/tcpreply.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

#include "common/log.h"

namespace
{

// Prints the tree, sends the text, frees both.
void send_reply(int fd, cJSON *root)
{
    char *text = cJSON_Print(root);
    if (text) {
        if (send(fd, text, strlen(text), MSG_NOSIGNAL) < 0)
            log_line(LOG_WARNING, "Send data Failed");
        free(text);
    }
    cJSON_Delete(root);
}

} // namespace

int response(int fd, int value)
{
    cJSON *root = cJSON_CreateObject();
    cJSON_AddItemToObject(root, "response", cJSON_CreateNumber(value));
    send_reply(fd, root);
    return 0;
}

int response_info(int fd, cJSON *data)
{
    cJSON *root = cJSON_CreateObject();
    cJSON_AddItemToObject(root, "response", cJSON_CreateNumber(1));
    cJSON_AddItemToObject(root, "Data", data);
    send_reply(fd, root);
    return 0;
}

void tcp_reply(int fd, mgmt_result *res)
{
    bool ok = res->cmd && res->outcome == 0;
    if (ok && res->cmd->reply == REPLY_DATA && res->data) {
        response_info(fd, res->data);
    } else {
        cJSON_Delete(res->data);
        response(fd, ok ? 1 : 0);
    }
    res->data = nullptr;
    if (ok && res->cmd->reply == REPLY_REBOOT)
        reboot_device();
}
