// The offline store. The hardware thread queues changes and returns; the
// writer thread applies them in batches, one transaction a batch. WAL with
// synchronous=FULL: a commit is on the disk before the writer takes the
// next batch, so a kill -9 or a power cut loses at most the changes of the
// last few tens of milliseconds and never leaves a half-written store.
#include "settings/grant_store.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <unistd.h>

#include "common/log.h"
#include "settings/sqlstore.h"

int grant_store_max = GRANT_STORE_MAX;
int audit_max = AUDIT_MAX;

namespace
{

const char *const SCHEMA =
    "pragma journal_mode=wal;"
    "pragma synchronous=full;"
    // A small write-ahead log on the board's flash: checkpointed every 128
    // pages (512 kB) and cut back to 512 kB after a checkpoint.
    "pragma wal_autocheckpoint=128;"
    "pragma journal_size_limit=524288;"
    "create table if not exists grants(seq INTEGER PRIMARY KEY, card TEXT UNIQUE NOT NULL, "
    "granted INTEGER NOT NULL, relay INTEGER NOT NULL, light INTEGER NOT NULL);"
    "create table if not exists audit(id INTEGER PRIMARY KEY, at INTEGER NOT NULL, "
    "card TEXT NOT NULL, outcome TEXT NOT NULL, relay INTEGER NOT NULL, light INTEGER NOT NULL);"
    "create table if not exists clock(id INTEGER PRIMARY KEY CHECK (id = 1), latest INTEGER);";

// A grant takes a new seq: the smallest seq is the least recently granted.
const char *const PUT = "insert or replace into grants(card, granted, relay, light) "
                        "values(?1, ?2, ?3, ?4)";
const char *const FORGET = "delete from grants where card = ?1";
const char *const AUDIT = "insert into audit(at, card, outcome, relay, light) "
                          "values(?2, ?1, ?5, ?3, ?4)";
const char *const SEEN = "insert into clock(id, latest) values(1, ?2) "
                         "on conflict(id) do update set latest = max(latest, excluded.latest)";
const char *const TRIM_GRANTS =
    "delete from grants where seq in (select seq from grants order by seq "
    "limit max(0, (select count(*) from grants) - ?1))";
const char *const TRIM_AUDIT = "delete from audit where id <= (select max(id) from audit) - ?1";
const char *const FIND = "select granted, relay, light from grants where card = ?1";
const char *const LATEST = "select latest from clock";
const char *const LIST = "select id, at, card, outcome, relay, light from audit order by id";
const char *const DRAIN = "delete from audit where id <= ?1";

enum op_kind { OP_PUT, OP_FORGET, OP_AUDIT };

struct op {
    op_kind kind;
    char card[GRANT_CARD_LEN];
    char outcome[16];
    long long at;
    int relay, light;
};

// All the store's state: the queue, the counts that flush waits on, the two
// connections (the writer's, the reader's on the hardware thread).
struct store {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER; // queue changed, batch written
    op queue[GRANT_QUEUE_MAX];
    int head = 0, count = 0;
    unsigned long queued = 0, written = 0;
    bool stop = false, running = false;
    bool failed = false; // a batch was lost: the store may hold a revoked grant
    long long latest = 0;
    sqlite3 *wdb = nullptr, *rdb = nullptr;
    pthread_t writer;
} s;

bool exec(sqlite3 *db, const char *sql)
{
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) == SQLITE_OK)
        return true;
    puts(err ? err : sqlite3_errmsg(db));
    sqlite3_free(err);
    return false;
}

// Runs sql with ?1 card, ?2 at, ?3 relay, ?4 light, ?5 outcome (those it
// has) from o, or with ?1 num when o is null.
bool run(sqlite3 *db, const char *sql, const op *o, long long num = 0)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        puts(sqlite3_errmsg(db));
        return false;
    }
    int n = sqlite3_bind_parameter_count(st);
    if (!o) {
        sqlite3_bind_int64(st, 1, num);
    } else {
        sqlite3_bind_text(st, 1, o->card, -1, SQLITE_STATIC);
        if (n >= 2)
            sqlite3_bind_int64(st, 2, o->at);
        if (n >= 4) {
            sqlite3_bind_int(st, 3, o->relay);
            sqlite3_bind_int(st, 4, o->light);
        }
        if (n >= 5)
            sqlite3_bind_text(st, 5, o->outcome, -1, SQLITE_STATIC);
    }
    bool ok = sqlite3_step(st) == SQLITE_DONE;
    if (!ok)
        puts(sqlite3_errmsg(db));
    sqlite3_finalize(st);
    return ok;
}

// false when the batch could not be written (rolled back).
bool apply(const op *ops, int n)
{
    bool ok = exec(s.wdb, "begin immediate");
    bool grants = false, audit = false;
    for (int i = 0; ok && i < n; i++) {
        const op &o = ops[i];
        const char *sql = o.kind == OP_PUT ? PUT : o.kind == OP_FORGET ? FORGET : AUDIT;
        ok = run(s.wdb, sql, &o) && run(s.wdb, SEEN, &o);
        grants |= o.kind == OP_PUT;
        audit |= o.kind == OP_AUDIT;
    }
    if (ok && grants)
        ok = run(s.wdb, TRIM_GRANTS, nullptr, grant_store_max);
    if (ok && audit)
        ok = run(s.wdb, TRIM_AUDIT, nullptr, audit_max);
    if (ok && exec(s.wdb, "commit"))
        return true;
    exec(s.wdb, "rollback");
    return false;
}

void *writer(void *)
{
    static op batch[GRANT_QUEUE_MAX];
    pthread_mutex_lock(&s.lock);
    for (;;) {
        while (s.count == 0 && !s.stop)
            pthread_cond_wait(&s.cond, &s.lock);
        if (s.count == 0)
            break;
        if (!s.stop) {
            // The card's output goes to the reader on the hardware thread's
            // next turn: let it go first, and gather what follows.
            pthread_mutex_unlock(&s.lock);
            usleep(GRANT_WRITE_DELAY_MS * 1000);
            pthread_mutex_lock(&s.lock);
        }
        int n = s.count;
        for (int i = 0; i < n; i++)
            batch[i] = s.queue[(s.head + i) % GRANT_QUEUE_MAX];
        s.head = (s.head + n) % GRANT_QUEUE_MAX;
        s.count = 0;
        pthread_cond_broadcast(&s.cond); // room again
        pthread_mutex_unlock(&s.lock);
        bool ok = apply(batch, n);
        if (!ok && !s.failed) // only this thread sets it while it runs
            log_line(LOG_ERR,
                     "offline store: a write failed; offline grace opens nothing until restart");
        pthread_mutex_lock(&s.lock);
        s.failed |= !ok;
        s.written += n;
        pthread_cond_broadcast(&s.cond);
    }
    pthread_mutex_unlock(&s.lock);
    return nullptr;
}

void push(op_kind kind, const char *card, long long at, const char *outcome, int relay, int light)
{
    op o = {};
    o.kind = kind;
    snprintf(o.card, sizeof o.card, "%s", card);
    snprintf(o.outcome, sizeof o.outcome, "%s", outcome ? outcome : "");
    o.at = at;
    o.relay = relay;
    o.light = light;
    pthread_mutex_lock(&s.lock);
    while (s.running && s.count == GRANT_QUEUE_MAX)
        pthread_cond_wait(&s.cond, &s.lock);
    if (s.running) {
        s.queue[(s.head + s.count) % GRANT_QUEUE_MAX] = o;
        s.count++;
        s.queued++;
        if (at > s.latest)
            s.latest = at;
        pthread_cond_broadcast(&s.cond);
    }
    pthread_mutex_unlock(&s.lock);
}

long long latest_stored(sqlite3 *db)
{
    sqlite3_stmt *st = nullptr;
    long long v = 0;
    if (sqlite3_prepare_v2(db, LATEST, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return v;
}

} // namespace

int grant_store_open(const char *path)
{
    // Card numbers and when they passed: for root only (SQLite gives the
    // write-ahead log the database's own mode).
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    s.wdb = store_open(path);
    s.rdb = s.wdb && exec(s.wdb, SCHEMA) ? store_open(path) : nullptr;
    if (s.rdb) {
        // The writer is not running yet.
        s.latest = latest_stored(s.rdb);
        s.head = s.count = 0;
        s.queued = s.written = 0;
        s.stop = s.failed = false;
        s.running = true;
    }
    if (!s.rdb || pthread_create(&s.writer, nullptr, writer, nullptr) != 0) {
        s.running = false;
        sqlite3_close(s.rdb);
        sqlite3_close(s.wdb);
        s.rdb = s.wdb = nullptr;
        return -1;
    }
    return 0;
}

void grant_store_close(void)
{
    pthread_mutex_lock(&s.lock);
    bool was = s.running;
    s.stop = true;
    s.running = false;
    pthread_cond_broadcast(&s.cond);
    pthread_mutex_unlock(&s.lock);
    if (!was)
        return;
    pthread_join(s.writer, nullptr);
    sqlite3_close(s.rdb);
    sqlite3_close(s.wdb);
    s.rdb = s.wdb = nullptr;
}

void grant_store_put(const char *card, long long at, int relay, int light)
{
    push(OP_PUT, card, at, nullptr, relay, light);
}

void grant_store_forget(const char *card, long long at)
{
    push(OP_FORGET, card, at, nullptr, 0, 0);
}

void grant_store_audit(const char *card, long long at, const char *outcome, int relay, int light)
{
    push(OP_AUDIT, card, at, outcome, relay, light);
}

int grant_store_flush(void)
{
    pthread_mutex_lock(&s.lock);
    unsigned long want = s.queued;
    while (s.running && s.written < want)
        pthread_cond_wait(&s.cond, &s.lock);
    bool usable = s.running && !s.failed;
    pthread_mutex_unlock(&s.lock);
    return usable ? 0 : -1;
}

int grant_store_find(const char *card, grant_rec *rec, long long *latest)
{
    if (grant_store_flush() != 0)
        return -1;
    pthread_mutex_lock(&s.lock);
    *latest = s.latest;
    pthread_mutex_unlock(&s.lock);

    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(s.rdb, FIND, -1, &st, nullptr) != SQLITE_OK) {
        puts(sqlite3_errmsg(s.rdb));
        return -1;
    }
    sqlite3_bind_text(st, 1, card, -1, SQLITE_STATIC);
    int rc = sqlite3_step(st), found = 0;
    if (rc == SQLITE_ROW) {
        rec->granted = sqlite3_column_int64(st, 0);
        rec->relay = sqlite3_column_int(st, 1);
        rec->light = sqlite3_column_int(st, 2);
        found = 1;
    } else if (rc != SQLITE_DONE) {
        puts(sqlite3_errmsg(s.rdb));
        found = -1;
    }
    sqlite3_finalize(st);
    return found;
}

int audit_list(const char *path, bool drain, void (*fn)(const audit_row *, void *), void *arg)
{
    sqlite3 *db = nullptr;
    // Never created here: a missing store has no audit. Only a drain writes.
    int flags = drain ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path, &db, flags, nullptr) != SQLITE_OK) {
        printf("%s: %s\n", path, db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return -1;
    }
    sqlite3_busy_timeout(db, STORE_BUSY_TIMEOUT_MS);
    sqlite3_stmt *st = nullptr;
    int n = 0;
    long long last = 0;
    bool ok = exec(db, drain ? "begin immediate" : "begin") &&
              sqlite3_prepare_v2(db, LIST, -1, &st, nullptr) == SQLITE_OK;
    int rc = SQLITE_DONE;
    while (ok && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        audit_row r = {};
        r.id = last = sqlite3_column_int64(st, 0);
        r.at = sqlite3_column_int64(st, 1);
        snprintf(r.card, sizeof r.card, "%s", sqlite3_column_text(st, 2));
        snprintf(r.outcome, sizeof r.outcome, "%s", sqlite3_column_text(st, 3));
        r.relay = sqlite3_column_int(st, 4);
        r.light = sqlite3_column_int(st, 5);
        fn(&r, arg);
        n++;
    }
    ok = ok && rc == SQLITE_DONE;
    sqlite3_finalize(st);
    if (ok && drain && n > 0)
        ok = run(db, DRAIN, nullptr, last);
    if (!ok)
        printf("%s: %s\n", path, sqlite3_errmsg(db));
    ok = exec(db, ok ? "commit" : "rollback") && ok;
    sqlite3_close(db);
    return ok ? n : -1;
}
