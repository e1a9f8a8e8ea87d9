// Replies of the TCP command set: one object printed with cJSON_Print,
// "response" first, sent in one call.
#pragma once

#include <cjson/cJSON.h>

#include "netservice/netrequest.h"

// Sends {"response":value}. Returns 0.
int response(int fd, int value);
// Sends {"response":1,"Data":data} and frees data. Returns 0.
int response_info(int fd, cJSON *data);
// The reply step: sends the reply that res's command kind gives its outcome
// (and frees res->data), then reboots after a successful network change.
void tcp_reply(int fd, mgmt_result *res);
