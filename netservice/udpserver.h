// UDP discovery and network set-up on port 8000.
#pragma once

#include "netservice/mgmt_proto.h"

void *thread_udpserver(void *arg);
// Sends "TcpReader Response" to 255.255.255.255 at port. Returns 0.
int sendBroadcase(int port);
