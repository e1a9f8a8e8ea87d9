// Replies of the TCP command set: one object printed with cJSON_Print,
// "response" first, sent in one call.
#pragma once

// Sends {"response":value}. Returns 0.
int response(int fd, int value);
// Sends the information reply of request code 145, 17 or 19. Returns 0.
int response_info(int fd, int code);
// The reply step: sends the reply for a request code and its outcome on fd,
// and reboots after a successful network change.
void tcp_reply(int fd, int code, int outcome);
