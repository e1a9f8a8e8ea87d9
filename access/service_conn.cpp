// The kept connection to the access service. Two SOAP contexts, made once
// and never freed, move between the hardware thread (one call at a time)
// and the connector thread; a mutex guards only the hand-over, never a
// connection set-up, so the hardware thread never waits for the connector.
#include "access/service_conn.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <resolv.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "soapH.h"

#include "access/access_config.h"
#include "access/service_tls.h"
#include "access/sigpipe_guard.h"
#include "common/mono_clock.h"
#include "settings/protection.h"
#include "settings/readerdb.h"

namespace
{

enum { URL_BUF = READER_URL_MAX + 1 };

// Waits of one call (ms). Each is cut short by the call's deadline.
const long SEND_WAIT_MS = 500;     // each wait to send
const long RECV_WAIT_MS = 2000;    // each wait for data
const long CONNECT_WAIT_MS = 2000; // TCP connection set-up, and the TLS handshake

// Probes on an idle kept connection: a peer gone without a word is found
// within KEEP_IDLE_S + KEEP_INTVL_S * KEEP_CNT, and NAT and firewall entries
// on the way see traffic.
const unsigned KEEP_IDLE_S = 15, KEEP_INTVL_S = 5, KEEP_CNT = 3;

// Set-up ahead of a card that failed, or whose connection the service
// closed within SHORT_LIFE_MS and before it carried a card, is tried again
// after a pause that doubles from BACKOFF_MIN_MS up to BACKOFF_MAX_MS; a card
// carried resets it. An unused connection that lived longer is replaced at
// once: at most one set-up per SHORT_LIFE_MS.
const long BACKOFF_MIN_MS = 1000, BACKOFF_MAX_MS = 60000, SHORT_LIFE_MS = 2000;

// A silent name server would hold a card for the resolver's default retries
// (5 s a try, two tries, per server). This thread's own resolver state (it
// is per thread) is loaded afresh for each set-up, so a changed file is in
// force, and then allowed one try of RESOLVE_S a server. It is loaded with
// the library's defaults: a state loaded with the bound already in it looks
// untouched to the library, which then reloads it with the defaults itself.
const int RESOLVE_S = 1;
void bound_name_lookup(void)
{
    _res.retrans = 0;
    _res.retry = 0;
    if (res_init() == 0) {
        _res.retrans = RESOLVE_S;
        _res.retry = 1;
    }
}

// What a connection was set up for: the URL, the CA file as it was then
// (absent, or its identity and times) and whether keeping is allowed.
struct ident {
    char url[URL_BUF];
    bool ca;
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime, ctime;
    bool keep;
};

void ident_now(ident *id, const char *url)
{
    memset(id, 0, sizeof *id);
    strncpy(id->url, url, URL_BUF - 1);
    struct stat st;
    id->ca = lstat(PROTECT_CA_FILE, &st) == 0;
    if (id->ca && stat(PROTECT_CA_FILE, &st) == 0) {
        id->dev = st.st_dev;
        id->ino = st.st_ino;
        id->size = st.st_size;
        id->mtime = st.st_mtim;
        id->ctime = st.st_ctim;
    }
    id->keep = access(ACCESS_KEEP_OFF_FILE, F_OK) != 0;
}

bool ident_same(const ident &a, const ident &b)
{
    return strcmp(a.url, b.url) == 0 && a.ca == b.ca && a.dev == b.dev && a.ino == b.ino &&
           a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && a.ctime.tv_sec == b.ctime.tv_sec &&
           a.ctime.tv_nsec == b.ctime.tv_nsec && a.keep == b.keep;
}

struct conn {
    struct soap *soap;
    ident id;           // of the TLS set-up; id.url[0] == 0: none yet
    bool connected;     // the socket holds a connection set up for id
    bool carried;       // it carried a card
    long long since;    // set up or last used (mono_ms)
    bool reused;        // the current call went over a connection from before
    long long deadline; // of the current call or set-up (mono_ms)
    bool got_bytes, got_data, timed_out, expired; // got_data: answer data read
    SOAP_SOCKET (*open)(struct soap *, const char *, const char *, int);
    int (*send)(struct soap *, const char *, size_t);
    size_t (*recv)(struct soap *, char *, size_t);
};

conn conns[2];
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t once = PTHREAD_ONCE_INIT;
int wake_fd = -1; // the connector's eventfd

// Guarded by lock.
conn *idle;     // connected, waiting for the next card
conn *spare[2]; // not connected
int spares;
ident want;          // what the connector sets up (want.url[0] == 0: nothing)
bool refused;        // the service answered want's URL without keeping the connection
unsigned fails;      // set-ups in a row that failed or were closed unused
long long next_try;  // no set-up ahead before this (mono_ms)
unsigned long hands; // bumped whenever idle changes hands
bool in_call;        // the hardware thread holds a context

long left_ms(const conn *c)
{
    return static_cast<long>(c->deadline - mono_ms());
}

long wait_ms(const conn *c, long most)
{
    long left = left_ms(c);
    return left < most ? left : most;
}

conn *of(struct soap *ctx)
{
    return static_cast<conn *>(ctx->user);
}

SOAP_SOCKET open_within(struct soap *ctx, const char *endpoint, const char *host, int port)
{
    conn *c = of(ctx);
    long wait = wait_ms(c, CONNECT_WAIT_MS);
    if (wait <= 0) {
        c->expired = true;
        soap_set_sender_error(ctx, "call deadline passed", "no time left to connect",
                              SOAP_TCP_ERROR);
        return SOAP_INVALID_SOCKET;
    }
    ctx->connect_timeout = static_cast<int>(-wait * 1000);
    ctx->recv_timeout = static_cast<int>(-wait * 1000); // the TLS handshake's reads
    SOAP_SOCKET s = c->open(ctx, endpoint, host, port);
    if (soap_valid_socket(s)) {
        c->connected = true;
        c->carried = false;
        c->reused = false; // the library found the kept one gone: a fresh one
    }
    return s;
}

int send_within(struct soap *ctx, const char *buf, size_t len)
{
    conn *c = of(ctx);
    long wait = wait_ms(c, SEND_WAIT_MS);
    if (wait <= 0) {
        c->expired = true;
        return SOAP_EOF;
    }
    ctx->send_timeout = static_cast<int>(-wait * 1000);
    return c->send(ctx, buf, len);
}

// Waits for data itself, so that a wait that ran out is told apart from a
// connection that the service closed, and any byte of an answer is noticed
// (also one that TLS keeps until its record is whole). A TLS service that
// closes an idle connection sends its closing alert first: when the read
// ends with that alert and no data came, no answer had begun.
size_t recv_within(struct soap *ctx, char *buf, size_t len)
{
    conn *c = of(ctx);
    long wait = wait_ms(c, RECV_WAIT_MS);
    if (wait <= 0) {
        c->expired = true;
        return 0;
    }
    if (!(ctx->ssl && SSL_pending(ctx->ssl) > 0)) {
        pollfd p = {ctx->socket, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait)) == 0) {
            (wait < RECV_WAIT_MS ? c->expired : c->timed_out) = true;
            ctx->errnum = 0;
            return 0;
        }
        char b;
        if (recv(ctx->socket, &b, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
            c->got_bytes = true;
        wait = wait_ms(c, RECV_WAIT_MS);
    }
    ctx->recv_timeout = static_cast<int>(-(wait > 0 ? wait : 1) * 1000);
    size_t n = c->recv(ctx, buf, len);
    if (n > 0)
        c->got_bytes = c->got_data = true;
    else if (!c->got_data && ctx->ssl && (SSL_get_shutdown(ctx->ssl) & SSL_RECEIVED_SHUTDOWN))
        c->got_bytes = false;
    return n;
}

// Fresh context for id: the TLS set-up of its URL, the waits, keep-alive.
int setup(conn *c, const ident &id)
{
    struct soap *ctx = c->soap;
    soap_destroy(ctx); // a fault of the last set-up, say
    soap_end(ctx);
    soap_done(ctx);
    soap_init(ctx);
    c->connected = false;
    c->id = id;
    ctx->user = c;
    soap_set_namespaces(ctx, namespaces);
    ctx->mode |= SOAP_C_UTFSTRING;
    ctx->imode |= SOAP_C_UTFSTRING;
    ctx->omode |= SOAP_C_UTFSTRING;
    // Plain sockets: a closed connection gives EPIPE, not SIGPIPE (TLS: the guard).
    ctx->socket_flags = MSG_NOSIGNAL;
    // A URL without a host makes the library talk over these descriptors
    // instead of a socket: never the process's standard input and output.
    ctx->sendfd = -1;
    ctx->recvfd = -1;
    ctx->send_timeout = static_cast<int>(-SEND_WAIT_MS * 1000);
    ctx->recv_timeout = static_cast<int>(-RECV_WAIT_MS * 1000);
    ctx->connect_timeout = static_cast<int>(-CONNECT_WAIT_MS * 1000);
    ctx->tcp_keep_alive = 1;
    ctx->tcp_keep_idle = KEEP_IDLE_S;
    ctx->tcp_keep_intvl = KEEP_INTVL_S;
    ctx->tcp_keep_cnt = KEEP_CNT;
    c->open = ctx->fopen;
    c->send = ctx->fsend;
    c->recv = ctx->frecv;
    ctx->fopen = open_within;
    ctx->fsend = send_within;
    ctx->frecv = recv_within;
    int rc = service_tls_setup(ctx, id.url);
    if (rc != SOAP_OK)
        c->id.url[0] = 0; // set up again next time
    else if (ctx->ctx)
        // No wait for the service's close_notify when a connection ends (the
        // library would wait up to 5 s for it, beyond any deadline).
        SSL_CTX_set_quiet_shutdown(ctx->ctx, 1);
    return rc;
}

void disconnect(conn *c)
{
    if (c->connected || soap_valid_socket(c->soap->socket))
        soap_force_closesock(c->soap);
    c->connected = false;
}

// Closes c outside the lock and gives it back to the spares.
void retire(conn *c)
{
    disconnect(c);
    pthread_mutex_lock(&lock);
    spare[spares++] = c;
    pthread_mutex_unlock(&lock);
}

// Whether an idle kept connection can carry a request: nothing came on it
// (a close, a reset, stray bytes all end it). TLS records that are no data
// (session tickets) are read and dropped on the way.
bool still_open(conn *c)
{
    struct soap *ctx = c->soap;
    if (!c->connected || !soap_valid_socket(ctx->socket))
        return false;
    pollfd p = {ctx->socket, POLLIN | POLLRDHUP, 0};
    int r = poll(&p, 1, 0);
    if (r == 0)
        return true;
    if (r < 0 || (p.revents & (POLLERR | POLLHUP | POLLRDHUP | POLLNVAL)))
        return false;
    if (!ctx->ssl) {
        char b;
        return recv(ctx->socket, &b, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }
    int flags = fcntl(ctx->socket, F_GETFL);
    fcntl(ctx->socket, F_SETFL, flags | O_NONBLOCK);
    char b;
    int n = SSL_peek(ctx->ssl, &b, 1);
    bool open = n <= 0 && SSL_get_error(ctx->ssl, n) == SSL_ERROR_WANT_READ;
    fcntl(ctx->socket, F_SETFL, flags);
    ERR_clear_error();
    return open;
}

long backoff_ms(unsigned n)
{
    long ms = BACKOFF_MIN_MS;
    for (unsigned i = 1; i < n && ms < BACKOFF_MAX_MS; i++)
        ms *= 2;
    return ms < BACKOFF_MAX_MS ? ms : BACKOFF_MAX_MS;
}

void wake(void)
{
    uint64_t one = 1;
    if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0) {
        // a full counter wakes it all the same
    }
}

// Under lock: a set-up failed or a connection went before it carried a card.
void count_fail(void)
{
    fails++;
    next_try = mono_ms() + backoff_ms(fails);
}

void init_once(void)
{
    soap_ssl_init();
    for (conn &c : conns) {
        c.soap = soap_new();
        c.soap->user = &c;
        spare[spares++] = &c;
    }
}

// Sets up a connection for id on c, on the connector thread.
bool connect_ahead(conn *c, const ident &id)
{
    if (!ident_same(c->id, id) && setup(c, id) != SOAP_OK)
        return false;
    struct soap *ctx = c->soap;
    c->deadline = mono_ms() + SERVICE_CALL_DEADLINE_MS;
    c->expired = false;
    ctx->omode |= SOAP_IO_KEEPALIVE;
    ctx->imode |= SOAP_IO_KEEPALIVE;
    soap_set_endpoint(ctx, id.url);
    if (!ctx->host[0])
        return false;
    bound_name_lookup();
    ctx->error = SOAP_OK; // a stale error of the last call must not undo this set-up
    ctx->socket = ctx->fopen(ctx, id.url, ctx->host, ctx->port);
    if (!soap_valid_socket(ctx->socket) || ctx->error) {
        disconnect(c);
        return false;
    }
    ctx->keep_alive = -1; // as the library leaves a connection it opened for keeping
    return true;
}

void start_connector(void);

void *connector(void *)
{
    sigset_t pipe_only; // writes to a closed peer raise nothing here
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
    for (;;) {
        pthread_mutex_lock(&lock);
        long long now = mono_ms();
        conn *watch = idle, *make = nullptr;
        int watch_fd = idle ? idle->soap->socket : -1;
        unsigned long seen = hands;
        ident id = want;
        int timeout = -1;
        if (!idle && !in_call && want.url[0] && want.keep && !refused && spares > 0) {
            if (now >= next_try)
                make = spare[--spares];
            else
                timeout = static_cast<int>(next_try - now);
        }
        pthread_mutex_unlock(&lock);

        if (make) {
            // The CA file and the switch as they are now, not as at the last card.
            char url[URL_BUF];
            memcpy(url, id.url, URL_BUF);
            ident_now(&id, url);
            bool ok = id.keep && connect_ahead(make, id);
            pthread_mutex_lock(&lock);
            if (ok && !idle && strcmp(want.url, id.url) == 0) {
                make->since = mono_ms();
                idle = make;
                hands++;
                make = nullptr;
            } else if (!ok) {
                count_fail();
            }
            pthread_mutex_unlock(&lock);
            if (make) {
                retire(make);
            }
            continue;
        }

        pollfd p[2] = {{wake_fd, POLLIN, 0}, {-1, POLLIN | POLLRDHUP, 0}};
        p[1].fd = watch_fd;
        if (poll(p, 2, timeout) > 0 && (p[0].revents & POLLIN)) {
            uint64_t n;
            if (read(wake_fd, &n, sizeof n) < 0) {
                // nothing to drain
            }
        }
        if (!watch || !p[1].revents)
            continue;
        // Something came on the idle connection: look at it unless the
        // hardware thread took it meanwhile.
        pthread_mutex_lock(&lock);
        bool mine = idle == watch && hands == seen;
        if (mine) {
            idle = nullptr;
            hands++;
        }
        pthread_mutex_unlock(&lock);
        if (!mine)
            continue;
        bool open = still_open(watch);
        if (!open)
            disconnect(watch);
        pthread_mutex_lock(&lock);
        bool back = open && !idle; // else a card's connection came back meanwhile
        if (back) {
            idle = watch;
            hands++;
        } else if (!open && !watch->carried && mono_ms() - watch->since < SHORT_LIFE_MS) {
            count_fail();
        }
        pthread_mutex_unlock(&lock);
        if (!back) {
            retire(watch);
        }
    }
    return nullptr;
}

} // namespace

void service_conn_start(void)
{
    static pthread_once_t started = PTHREAD_ONCE_INIT;
    pthread_once(&started, start_connector);
}

namespace
{

void start_connector(void)
{
    pthread_once(&once, init_once);
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    char url[URL_BUF] = {0};
    int dev = 0;
    if (access(READER_DB_PATH, F_OK) == 0 && read_DevAddr_Url_Config(&dev, url) == 0 &&
        service_url_permitted(url)) {
        pthread_mutex_lock(&lock);
        ident_now(&want, url);
        pthread_mutex_unlock(&lock);
    }
    pthread_t tid;
    if (wake_fd < 0 || pthread_create(&tid, nullptr, connector, nullptr) != 0) {
        perror("service connector");
        return;
    }
    pthread_detach(tid);
}

} // namespace

int service_conn_take(const char *url, struct soap **out)
{
    pthread_once(&once, init_once);
    ident id;
    ident_now(&id, url);
    pthread_mutex_lock(&lock);
    conn *c = idle;
    if (c) {
        idle = nullptr;
        hands++;
    } else {
        c = spare[--spares];
    }
    in_call = true;
    pthread_mutex_unlock(&lock);

    *out = c->soap;
    service_tls_begin();
    if (c->connected && !(ident_same(c->id, id) && still_open(c)))
        disconnect(c);
    int rc = ident_same(c->id, id) ? SOAP_OK : setup(c, id);
    struct soap *ctx = c->soap;
    if (id.keep) {
        ctx->omode |= SOAP_IO_KEEPALIVE;
        ctx->imode |= SOAP_IO_KEEPALIVE;
    } else {
        ctx->omode &= ~SOAP_IO_KEEPALIVE;
        ctx->imode &= ~SOAP_IO_KEEPALIVE;
    }
    c->reused = c->connected;
    c->deadline = mono_ms() + SERVICE_CALL_DEADLINE_MS;
    c->got_bytes = c->got_data = c->timed_out = c->expired = false;
    bound_name_lookup();
    return rc;
}

bool service_conn_retry(struct soap *ctx)
{
    conn *c = of(ctx);
    bool again = c->reused && !c->got_bytes && !c->timed_out && !c->expired && left_ms(c) > 0;
    c->reused = false;
    if (again) {
        soap_destroy(ctx);
        soap_end(ctx);
        disconnect(c);
    }
    return again;
}

bool service_conn_expired(struct soap *ctx)
{
    return of(ctx)->expired;
}

void service_conn_give(struct soap *ctx, bool answered)
{
    conn *c = of(ctx);
    soap_destroy(ctx);
    soap_end(ctx);
    bool keep = answered && c->id.keep && c->connected && soap_valid_socket(ctx->socket) &&
                ctx->keep_alive != 0;
    if (keep) {
        c->carried = true;
        c->since = mono_ms();
    } else
        disconnect(c);

    conn *old = nullptr;
    pthread_mutex_lock(&lock);
    if (keep) {
        old = idle; // set up ahead while this card went over its own
        idle = c;
        hands++;
        fails = 0;
        next_try = 0;
    } else {
        spare[spares++] = c;
    }
    want = c->id;
    refused = answered && !keep;
    in_call = false;
    pthread_mutex_unlock(&lock);
    if (old) {
        retire(old);
    }
    wake();
}
