// Text forms of the network settings, checked the same way by the daemon
// (before it stores a network change) and by gatewardenctl (before it sends
// one). Each returns 0 when text has the form, -1 when not; nothing is printed.
#pragma once

int netaddr_check_ipv4(const char *text); // dotted decimal, "192.0.2.10"
int netaddr_check_mask(const char *text); // dotted decimal with contiguous ones, "255.255.255.0"
int netaddr_check_mac(const char *text);  // six hex pairs separated by ':', "02:00:00:00:00:01"
