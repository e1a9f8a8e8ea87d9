// The two files that turn the controller's protections on. Neither exists
// by default; gatewarden-provision installs them. Both are looked at on
// every use, so adding or removing one needs no restart.
#pragma once

// The CA that the access service's certificate must chain to. While it
// exists, only https service URLs are used or stored.
#define PROTECT_CA_FILE "/etc/gatewarden/ca.pem"
// The IPv4 addresses and prefixes allowed to manage the controller.
#define PROTECT_MANAGE_FILE "/etc/gatewarden/manage-allow"

// True when PROTECT_CA_FILE exists (readable or not: an unreadable file
// fails the call, it does not turn verification off).
bool service_ca_present(void);

// True when url's scheme is https (in any case).
bool service_url_https(const char *url);

// True when url may be called or stored: always without PROTECT_CA_FILE,
// only an https URL with it.
bool service_url_permitted(const char *url);
