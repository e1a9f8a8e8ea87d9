// TLS of one access check. An http URL gets no TLS context at all. An https
// URL gets today's context, which verifies nothing, unless PROTECT_CA_FILE
// exists: then the service's chain must lead to that CA (and no other) and
// its certificate must name the URL's host.
#pragma once

struct soap;

// Sets up ctx for url. Returns SOAP_OK, or gSOAP's error (the fault is in
// ctx) when the TLS context cannot be made, e.g. for an unreadable CA file.
int service_tls_setup(struct soap *ctx, const char *url);

// Before each call: forgets the reason of an earlier refusal.
void service_tls_begin(void);

// After a failed call: when the service's certificate was refused, prints
// one line that says why (expired, unknown issuer, name mismatch); else
// nothing.
void service_tls_report(void);
