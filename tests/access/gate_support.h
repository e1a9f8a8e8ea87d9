// What the access gate tests share: running accessGate with its output
// captured, the access service simulator, a plain loopback peer that records
// the request and answers with given bytes, and the command slot's state.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

// One accessGate call: its result, what it printed, how long it took.
struct GateRun {
    int rc;
    std::string out, err;
    double ms;
};
GateRun run_gate(const std::string &card);

// The shared command slot: idle, with output codes that no answer writes.
enum : unsigned char { UNTOUCHED = 0xEE };
void slot_reset();
struct SlotState {
    int opt;
    unsigned light, relay, buzzer;
};
SlotState slot_state();

// gatewarden-servicesim on 127.0.0.1, a free port.
struct Service {
    Child child;
    std::string url;
    // Starts it with args; stores its URL in /etc/reader.db when store.
    bool start(const std::vector<std::string> &args, bool store = true);
    // Request lines logged so far (reads what is available within wait_ms).
    std::vector<std::string> requests(int wait_ms = 200);
};

// A directory with cert.pem and key.pem (scripts/make-test-cert), made once.
std::string test_cert_dir();

// Answers built by hand.
std::string soap_envelope(const std::string &body_content);
std::string answer_xml(const std::string &access_granted_content);
std::string http_reply(int code, const std::string &body,
                       const std::string &content_type = "text/xml; charset=utf-8");

// A loopback TCP peer on 127.0.0.1 for one connection: records the request
// (header and the Content-Length bytes of body) and sends reply.
class RawPeer
{
  public:
    explicit RawPeer(std::string reply);
    ~RawPeer();
    int port() const { return port_; }
    std::string url() const;
    // Waits for the connection to end; the request as received.
    std::string request();
    std::string header() { return split().first; }
    std::string body() { return split().second; }

  private:
    std::pair<std::string, std::string> split();
    void serve();
    int listen_fd_ = -1;
    int port_ = 0;
    std::string reply_;
    std::string request_;
    std::thread thread_;
};

// Value of the HTTP header line name (matched in any case), or "<none>".
std::string header_value(const std::string &header, const std::string &name);

// Children of the process's descriptor table, resident memory in kB.
int open_fds();
long rss_kb();
