// The connection to the access service, kept between cards: one call per
// card goes over the connection (and TLS session) of the card before, or
// over one set up ahead of the card by a connector thread. See
// docs/service-connection.md for the timelines.
#pragma once

struct soap;

// A card's whole call (connect, send, answer, a second attempt included)
// ends after this long; the card then gets no output.
enum { SERVICE_CALL_DEADLINE_MS = 4000 };

// Starts the connector thread, which sets up a connection to the stored URL
// ahead of the first card and again whenever the kept one is gone. Without
// it the connection of one card is still kept for the next.
void service_conn_start(void);

// A context for one call to url, with the kept connection when it was set
// up for url and the CA file in force and is still open. *ctx is set in any
// case and must go back through service_conn_give. Returns SOAP_OK, or the
// library's error when the TLS set-up for url fails (the fault is in *ctx).
int service_conn_take(const char *url, struct soap **ctx);

// After a failed call: true when it may go once more, on a fresh connection
// (ctx is then ready for it). That is only when the connection was kept
// from before, the service closed or reset it before any byte of the answer
// came and the deadline leaves time.
bool service_conn_retry(struct soap *ctx);

// True when the last call of ctx ended because its deadline had passed.
bool service_conn_expired(struct soap *ctx);

// Releases the call's data and keeps the connection for the next card when
// the service allows it (answered and no "Connection: close").
void service_conn_give(struct soap *ctx, bool answered);
