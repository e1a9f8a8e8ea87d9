// Time of one access check: accessGate against gatewarden-servicesim on
// loopback, over HTTP, over HTTPS (self-signed certificate, nothing
// verified) and over HTTPS verified against /etc/gatewarden/ca.pem (a test
// CA); and what the TLS client context costs in each way.
//   scripts/board-sandbox -- build/bin/gatewarden-bench-access [--calls N]
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "soapH.h"

#include "access/accessGateClient.h"
#include "core/slot.h"
#include "settings/protection.h"
#include "settings/readerdb.h"
#include "tools/common/parse_number.h"
#include "tools/support/support.h"

namespace
{

struct sim {
    Child child;
    std::string url;
};

// Starts the simulator and reads its "listening URL" line.
bool start_sim(sim *s, std::vector<std::string> args)
{
    args.insert(args.begin(), gw_bin("gatewarden-servicesim"));
    std::string line;
    if (!s->child.start(args, false) || !s->child.wait_for("listening ", 10000, &line))
        return false;
    s->url = line.substr(line.find("listening ") + 10);
    return true;
}

void report(const char *what, std::vector<double> t)
{
    std::sort(t.begin(), t.end());
    double sum = 0;
    for (double v : t)
        sum += v;
    printf("%-34s %5zu calls  median %7.2f ms  p95 %7.2f ms  mean %7.2f ms  max %7.2f ms\n", what,
           t.size(), t[t.size() / 2], t[t.size() * 95 / 100], sum / t.size(), t.back());
}

// Runs calls access checks against s (after a few unmeasured ones); -1 when
// one of them fails.
int measure(sim &s, int calls, std::vector<double> *times)
{
    std::string url = s.url;
    if (writeUrlConfig(&url[0]) != 0)
        return -1;
    char card[] = "0A1B2C3D\n";
    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    int rc = 0;
    for (int i = -calls / 20; i < calls && rc == 0; i++) {
        pthread_mutex_lock(&mutex);
        opt = SLOT_IDLE;
        pthread_mutex_unlock(&mutex);
        double t0 = now_ms();
        rc = accessGate(card);
        if (i >= 0)
            times->push_back(now_ms() - t0);
        s.child.drain();
    }
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    return rc;
}

// soap_ssl_client_context alone, with the given flags and CA file.
std::vector<double> tls_setup(unsigned short flags, int n, const char *cafile = nullptr)
{
    std::vector<double> t;
    for (int i = 0; i < n; i++) {
        double t0 = now_ms();
        struct soap *ctx = soap_new();
        soap_ssl_client_context(ctx, flags, nullptr, nullptr, cafile, nullptr, nullptr);
        soap_destroy(ctx);
        soap_end(ctx);
        soap_free(ctx);
        t.push_back(now_ms() - t0);
    }
    return t;
}

} // namespace

int main(int argc, char **argv)
{
    static const option longopts[] = {{"calls", required_argument, nullptr, 'c'}, {}};
    long n = 300;
    bool bad = false;
    for (int c; (c = getopt_long(argc, argv, "", longopts, nullptr)) != -1;)
        bad |= c != 'c' || parse_long(optarg, 20, 1000000, &n) != 0;
    if (bad || optind != argc) {
        fprintf(stderr, "usage: %s [--calls N] (N from 20)\n", argv[0]);
        return 2;
    }
    int calls = static_cast<int>(n);
    if (!in_board_sandbox()) {
        fprintf(stderr, "%s: writes /etc/reader.db: run it inside scripts/board-sandbox\n",
                argv[0]);
        return 77;
    }
    slot_init();

    char dir[] = "/tmp/gw-bench-access.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    // A self-signed certificate, and a test CA with a certificate from it.
    std::string certs = dir, mk = " && " GW_SOURCE_DIR "/scripts/make-test-cert ";
    std::string cmd = "cd " + certs + mk + ". " + mk + "--ca ca" + mk + "--by ca verified";
    if (system(cmd.c_str()) != 0)
        return 1;

    sim http, https, verified;
    std::vector<double> t_http, t_https, t_verified;
    int rc = 1;
    // The verified call: /etc/gatewarden/ca.pem holds the test CA meanwhile.
    bool ca = mkdir("/etc/gatewarden", 0755) == 0 || errno == EEXIST;
    ca = ca && system(("cp " + certs + "/ca/ca.pem " PROTECT_CA_FILE).c_str()) == 0;
    if (start_sim(&http, {"--port", "0", "--grant-all"}) &&
        start_sim(&https, {"--port", "0", "--grant-all", "--tls", "--cert", certs + "/cert.pem",
                           "--key", certs + "/key.pem"}) &&
        start_sim(&verified,
                  {"--port", "0", "--grant-all", "--tls", "--cert", certs + "/verified/cert.pem",
                   "--key", certs + "/verified/key.pem"}) &&
        ca && measure(verified, calls, &t_verified) == 0 && unlink(PROTECT_CA_FILE) == 0 &&
        measure(http, calls, &t_http) == 0 && measure(https, calls, &t_https) == 0) {
        report("access check, HTTP", t_http);
        report("access check, HTTPS (new handshake)", t_https);
        report("access check, HTTPS verified", t_verified);
        report("TLS client context (as used)",
               tls_setup(SOAP_SSL_NO_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH, calls / 10));
        report("TLS client context + CA bundle", tls_setup(SOAP_SSL_NO_AUTHENTICATION, calls / 10));
        std::string cafile = certs + "/ca/ca.pem";
        report("TLS client context, verified",
               tls_setup(SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH,
                         calls / 10, cafile.c_str()));
        rc = 0;
    } else {
        fprintf(stderr, "gatewarden-bench-access: the simulator or a call failed\n");
    }
    unlink(PROTECT_CA_FILE);
    if (system(("rm -rf " + certs).c_str()) != 0)
        fprintf(stderr, "gatewarden-bench-access: %s not removed\n", certs.c_str());
    return rc;
}
