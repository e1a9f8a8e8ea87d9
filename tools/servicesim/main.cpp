// gatewarden-servicesim: the access service on loopback, for tests and
// benchmarks. Serves GrantAccess over HTTP or HTTPS, each connection on a
// thread of its own and kept between requests as HTTP/1.1 allows, decides
// from rules and injects faults on demand.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <netdb.h>
#include <pthread.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "soapH.h"

#include "tools/common/parse_number.h"
#include "tools/servicesim/sim_faults.h"
#include "tools/servicesim/sim_rules.h"
#include "tools/servicesim/sim_service.h"

// The program's namespace table (the GrantAccess contract).
#include "AccessGate.nsmap"

namespace
{

enum { BACKLOG = 16, CONN_TIMEOUT_S = 5, IDLE_CLOSE_MS = 5000 };

const char USAGE[] =
    "usage: gatewarden-servicesim [--bind ADDR] [--port N] [--tls --cert FILE --key FILE]\n"
    "                             [--grant-all | --deny-all] [--card HEX=RELAY,COLOR]...\n"
    "                             [--rules FILE] [--fault FAULT]... [--delay MS]\n"
    "                             [--close | --http10] [--idle-close MS] [--commands]\n"
    "                             [--help]\n"
    "Serves GrantAccess on loopback (default 127.0.0.1, any path; --port 0 picks a free port).\n"
    "Rules: --card CARD=RELAY,COLOR (card text without its line feed); --rules FILE with\n"
    "  lines 'CARD RELAY COLOR' and 'default RELAY COLOR'; --grant-all (1, 000000100) or\n"
    "  --deny-all (0, 000000001) for cards without a rule. Otherwise: deny (decision unknown).\n"
    "Faults (every request, or the next N with ',count=N'): delay=MS fault500 fault200\n"
    "  http=CODE drop nocolor shortcolor relay1 relayword reorder extra stall trickle=MS;\n"
    "  with --commands also on standard input, one a line: 'fault FAULT' (answered\n"
    "  'armed FAULT').\n"
    "Connection: --delay MS before each answer flight (connection, TLS handshake, answer);\n"
    "  --close answers 'Connection: close', --http10 as HTTP/1.0, each closing after one\n"
    "  answer; --idle-close MS closes a connection idle that long (default 5000).\n"
    "Output: 'listening URL', then one line per request:\n"
    "  t=S.mmm request dev=N card=TEXT decision=grant|deny|unknown relay=R color=C conn=N\n"
    "  (or fault=KIND[,KIND] in place of the decision when a fault was injected),\n"
    "  't=S.mmm connection N' and 't=S.mmm handshake N' as they are served, and on\n"
    "  SIGTERM or SIGINT 'served connections=N handshakes=N'.\n";

struct options {
    const char *bind_addr = "127.0.0.1";
    int port = 8080;
    bool tls = false;
    const char *cert = nullptr;
    const char *key = nullptr;
    long delay_ms = 0;
    bool close = false, http10 = false;
    long idle_close_ms = IDLE_CLOSE_MS;
    bool commands = false;
};

int parse_options(int argc, char **argv, options *o)
{
    enum {
        OPT_BIND = 256,
        OPT_PORT,
        OPT_TLS,
        OPT_CERT,
        OPT_KEY,
        OPT_GRANT,
        OPT_DENY,
        OPT_CARD,
        OPT_RULES,
        OPT_FAULT,
        OPT_DELAY,
        OPT_CLOSE,
        OPT_HTTP10,
        OPT_IDLE,
        OPT_COMMANDS,
        OPT_HELP
    };
    static const option longopts[] = {
        {"bind", required_argument, nullptr, OPT_BIND},
        {"port", required_argument, nullptr, OPT_PORT},
        {"tls", no_argument, nullptr, OPT_TLS},
        {"cert", required_argument, nullptr, OPT_CERT},
        {"key", required_argument, nullptr, OPT_KEY},
        {"grant-all", no_argument, nullptr, OPT_GRANT},
        {"deny-all", no_argument, nullptr, OPT_DENY},
        {"card", required_argument, nullptr, OPT_CARD},
        {"rules", required_argument, nullptr, OPT_RULES},
        {"fault", required_argument, nullptr, OPT_FAULT},
        {"delay", required_argument, nullptr, OPT_DELAY},
        {"close", no_argument, nullptr, OPT_CLOSE},
        {"http10", no_argument, nullptr, OPT_HTTP10},
        {"idle-close", required_argument, nullptr, OPT_IDLE},
        {"commands", no_argument, nullptr, OPT_COMMANDS},
        {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };
    int all = -1;
    for (int c; (c = getopt_long(argc, argv, "", longopts, nullptr)) != -1;) {
        long port;
        switch (c) {
        case OPT_BIND:
            o->bind_addr = optarg;
            break;
        case OPT_PORT:
            if (parse_long(optarg, 0, 65535, &port) != 0) {
                fprintf(stderr, "gatewarden-servicesim: bad --port '%s'\n", optarg);
                return 2;
            }
            o->port = static_cast<int>(port);
            break;
        case OPT_TLS:
            o->tls = true;
            break;
        case OPT_CERT:
            o->cert = optarg;
            break;
        case OPT_KEY:
            o->key = optarg;
            break;
        case OPT_GRANT:
        case OPT_DENY:
            if (all >= 0 && all != (c == OPT_GRANT)) {
                fputs("gatewarden-servicesim: --grant-all and --deny-all exclude each other\n",
                      stderr);
                return 2;
            }
            all = c == OPT_GRANT;
            sim_rules_set_all(all);
            break;
        case OPT_CARD:
            if (sim_rules_add_card(optarg) != 0)
                return 2;
            break;
        case OPT_RULES:
            if (sim_rules_load(optarg) != 0)
                return 2;
            break;
        case OPT_FAULT:
            if (sim_fault_add(optarg) != 0)
                return 2;
            break;
        case OPT_DELAY:
        case OPT_IDLE:
            if (parse_long(optarg, c == OPT_IDLE ? 1 : 0, 3600000,
                           c == OPT_IDLE ? &o->idle_close_ms : &o->delay_ms) != 0) {
                fprintf(stderr, "gatewarden-servicesim: bad value '%s'\n", optarg);
                return 2;
            }
            break;
        case OPT_CLOSE:
            o->close = true;
            break;
        case OPT_HTTP10:
            o->http10 = true;
            break;
        case OPT_COMMANDS:
            o->commands = true;
            break;
        case OPT_HELP:
            fputs(USAGE, stdout);
            return 0;
        default:
            fputs(USAGE, stderr);
            return 2;
        }
    }
    if (optind < argc || (o->tls && (!o->cert || !o->key))) {
        fputs(USAGE, stderr);
        return 2;
    }
    return -1;
}

// TLS server context with the certificate chain and key of the command line.
int setup_tls(struct soap *ctx, const options &o)
{
    if (soap_ssl_server_context(ctx, SOAP_SSL_NO_AUTHENTICATION, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr) != SOAP_OK) {
        soap_print_fault(ctx, stderr);
        return -1;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx->ctx, o.cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx->ctx, o.key, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx->ctx) != 1) {
        fprintf(stderr, "gatewarden-servicesim: cannot use certificate %s with key %s\n", o.cert,
                o.key);
        return -1;
    }
    return 0;
}

int bound_port(int sock)
{
    sockaddr_storage addr;
    socklen_t len = sizeof addr;
    char port[16];
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, nullptr, 0, port, sizeof port,
                    NI_NUMERICSERV) != 0)
        return -1;
    return atoi(port);
}

// One line on standard error: what failed and the library's reason.
void report(struct soap *ctx, const char *what)
{
    const char **text = soap_faultstring(ctx);
    const char **detail = soap_faultdetail(ctx);
    std::string line =
        std::string(text && *text ? *text : "") + " " + (detail && *detail ? *detail : "");
    for (char &c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    fprintf(stderr, "t=%.3f %s: %s\n", sim_clock(), what, line.c_str());
}

int send_flight(struct soap *ctx, const char *buf, size_t len)
{
    sim_conn *conn = static_cast<sim_conn *>(ctx->user);
    if (conn->read_since_write)
        sim_sleep_ms(conn->delay_ms);
    conn->read_since_write = false;
    return conn->send(ctx, buf, len);
}

size_t recv_flight(struct soap *ctx, char *buf, size_t len)
{
    sim_conn *conn = static_cast<sim_conn *>(ctx->user);
    size_t n = conn->recv(ctx, buf, len);
    conn->read_since_write = conn->read_since_write || n > 0;
    return n;
}

void log_count(const char *what, unsigned long *count, unsigned long *id)
{
    pthread_mutex_lock(&sim_lock);
    *id = ++*count;
    printf("t=%.3f %s %lu\n", sim_clock(), what, *id);
    pthread_mutex_unlock(&sim_lock);
}

bool use_tls;

// One connection on its own thread: the TLS handshake when asked, then
// requests and answers until either side closes or it stays idle too long.
// With a delay, the connection's set-up, the handshake's answer flight and
// every answer wait for it first.
void *serve_conn(void *arg)
{
    struct soap *ctx = static_cast<struct soap *>(arg);
    sim_conn conn = {0, 0, false, ctx->fsend, ctx->frecv};
    conn.delay_ms = ctx->user ? *static_cast<const long *>(ctx->user) : 0;
    ctx->user = &conn;
    ctx->fsend = send_flight;
    ctx->frecv = recv_flight;
    log_count("connection", &sim_connections, &conn.id);
    sim_sleep_ms(conn.delay_ms);
    if (use_tls) {
        sim_sleep_ms(conn.delay_ms);
        unsigned long n;
        if (soap_ssl_accept(ctx) != SOAP_OK)
            report(ctx, "tls handshake failed");
        else
            log_count("handshake", &sim_handshakes, &n);
    }
    if (!use_tls || ctx->ssl) {
        if (soap_serve(ctx) != SOAP_OK && ctx->error != SOAP_FAULT && ctx->error != SOAP_EOF)
            report(ctx, "bad message"); // a Fault was meant; EOF: closed or idle
    }
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx); // closes the connection
    return nullptr;
}

// SIGTERM and SIGINT, blocked everywhere else, end the program here with
// the totals (connection threads may still hold their connections).
void *await_stop(void *arg)
{
    int sig;
    sigwait(static_cast<sigset_t *>(arg), &sig);
    pthread_mutex_lock(&sim_lock);
    printf("served connections=%lu handshakes=%lu\n", sim_connections, sim_handshakes);
    fflush(stdout);
    _exit(0);
}

// Faults armed while running: 'fault FAULT' lines on standard input.
void *read_commands(void *)
{
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        pthread_mutex_lock(&sim_lock);
        if (strncmp(line, "fault ", 6) != 0 || sim_fault_add(line + 6) != 0)
            fprintf(stderr, "gatewarden-servicesim: unknown command '%s'\n", line);
        else
            printf("t=%.3f armed %s\n", sim_clock(), line + 6);
        pthread_mutex_unlock(&sim_lock);
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    int rc = parse_options(argc, argv, &o);
    if (rc >= 0)
        return rc;

    // A client that has gone away must not end the simulator.
    signal(SIGPIPE, SIG_IGN);
    static sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    pthread_t tid;
    pthread_create(&tid, nullptr, await_stop, &stop);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    use_tls = o.tls;

    int keep = o.close || o.http10 ? 0 : SOAP_IO_KEEPALIVE;
    struct soap *ctx = soap_new2(SOAP_C_UTFSTRING | keep, SOAP_C_UTFSTRING | keep);
    if (!ctx) {
        perror("gatewarden-servicesim");
        return 1;
    }
    soap_set_namespaces(ctx, namespaces);
    ctx->socket_flags = MSG_NOSIGNAL;
    ctx->bind_flags = SO_REUSEADDR;
    ctx->send_timeout = CONN_TIMEOUT_S;
    ctx->recv_timeout = static_cast<int>(-o.idle_close_ms * 1000); // also between requests
    ctx->max_keep_alive = 0;                                       // no limit of requests
    if (o.http10)
        ctx->http_version = "1.0";
    ctx->user = &o.delay_ms;
    if (o.tls && setup_tls(ctx, o) != 0) {
        soap_free(ctx);
        return 1;
    }
    if (!soap_valid_socket(soap_bind(ctx, o.bind_addr, o.port, BACKLOG))) {
        fprintf(stderr, "gatewarden-servicesim: cannot listen on %s port %d: ", o.bind_addr,
                o.port);
        soap_print_fault(ctx, stderr);
        soap_free(ctx);
        return 1;
    }
    bool v6 = strchr(o.bind_addr, ':') != nullptr;
    printf("listening %s://%s%s%s:%d/ws/AccessGate\n", o.tls ? "https" : "http", v6 ? "[" : "",
           o.bind_addr, v6 ? "]" : "", bound_port(ctx->master));

    if (o.commands) {
        pthread_create(&tid, nullptr, read_commands, nullptr);
        pthread_detach(tid);
    }
    for (;;) {
        if (!soap_valid_socket(soap_accept(ctx))) {
            report(ctx, "accept failed");
            usleep(10000); // out of descriptors, say: do not spin
            continue;
        }
        struct soap *copy = soap_copy(ctx);
        if (!copy || pthread_create(&tid, nullptr, serve_conn, copy) != 0) {
            fputs("gatewarden-servicesim: no thread for a connection\n", stderr);
            if (copy)
                soap_free(copy);
            soap_force_closesock(ctx);
            continue;
        }
        pthread_detach(tid);
        ctx->socket = SOAP_INVALID_SOCKET; // the copy's now
    }
}
