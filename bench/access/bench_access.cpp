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

namespace
{

double now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct sim {
    pid_t pid = -1;
    int out = -1;
    std::string url;
};

// Starts the simulator and reads its "listening URL" line.
bool start_sim(sim *s, const std::vector<std::string> &args)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    s->pid = fork();
    if (s->pid == 0) {
        dup2(p[1], 1);
        std::vector<char *> argv;
        std::string prog = std::string(GW_BUILD_BIN_DIR) + "/gatewarden-servicesim";
        argv.push_back(&prog[0]);
        std::vector<std::string> copy = args;
        for (std::string &a : copy)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    s->out = p[0];
    std::string line;
    char c;
    while (read(s->out, &c, 1) == 1 && c != '\n')
        line += c;
    if (line.compare(0, 10, "listening ") != 0)
        return false;
    s->url = line.substr(10);
    fcntl(s->out, F_SETFL, O_NONBLOCK);
    return true;
}

void drain(const sim &s)
{
    char buf[4096];
    while (read(s.out, buf, sizeof buf) > 0) {
    }
}

void stop_sim(sim *s)
{
    if (s->pid > 0) {
        kill(s->pid, SIGTERM);
        waitpid(s->pid, nullptr, 0);
    }
    close(s->out);
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
int measure(const sim &s, int calls, std::vector<double> *times)
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
        drain(s);
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
    int calls = 300;
    if (argc == 3 && strcmp(argv[1], "--calls") == 0)
        calls = atoi(argv[2]);
    else if (argc != 1) {
        fprintf(stderr, "usage: %s [--calls N]\n", argv[0]);
        return 2;
    }
    if (calls < 20)
        calls = 20;
    const char *sandbox = getenv("GW_SANDBOX");
    if (!sandbox || strcmp(sandbox, "1") != 0) {
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
    stop_sim(&http);
    stop_sim(&https);
    stop_sim(&verified);
    if (system(("rm -rf " + certs).c_str()) != 0)
        fprintf(stderr, "gatewarden-bench-access: %s not removed\n", certs.c_str());
    return rc;
}
