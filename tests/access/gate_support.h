// What the access gate tests share: accessGate with its output captured, the
// access service simulator, and the command slot.
#pragma once

#include <string>
#include <vector>

#include "tools/support/support.h"

// One accessGate call: its result, what it printed, how long it took.
struct GateRun {
    int rc;
    std::string out, err;
    double ms;
};
GateRun run_gate(std::string card);

// The command slot, reset to idle with output codes no answer writes (238),
// shown as "OPT light=L relay=R buzzer=B"; posted() is a card answer's.
void slot_reset();
std::string slot_text();
std::string posted(unsigned light, unsigned relay);
extern const char SLOT_UNTOUCHED[];

// A call that got no answer: -1, "GrantAccess failed" last, a fault report,
// the slot untouched.
void expect_failed(const GateRun &run);

bool store_url(std::string url);
std::vector<std::string> words(const std::string &text); // split at white space

// gatewarden-servicesim on 127.0.0.1, a free port.
struct Service {
    Child child;
    std::string url;
    // args: its options, separated by spaces; --tls brings the certificate
    // and key of test_cert_dir(). Stores url in /etc/reader.db when store.
    bool start(const std::string &args, bool store = true);
    // Request lines logged so far (reads what is available within wait_ms).
    std::vector<std::string> requests(int wait_ms = 200);
};

// A directory with cert.pem and key.pem (scripts/make-test-cert), made once.
std::string test_cert_dir();
