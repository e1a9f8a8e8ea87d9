#include "settings/sqlstore.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

pthread_rwlock_t rwlock = PTHREAD_RWLOCK_INITIALIZER;

namespace
{

void lock_take(store_lock lock)
{
    if (lock == STORE_SHARED)
        pthread_rwlock_rdlock(&rwlock);
    else if (lock == STORE_EXCLUSIVE)
        pthread_rwlock_wrlock(&rwlock);
}

void lock_release(store_lock lock)
{
    if (lock != STORE_NO_LOCK)
        pthread_rwlock_unlock(&rwlock);
}

} // namespace

sqlite3 *store_open(const char *path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path, &db) != SQLITE_OK) {
        puts(db ? sqlite3_errmsg(db) : sqlite3_errstr(SQLITE_NOMEM));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, STORE_BUSY_TIMEOUT_MS);
    return db;
}

int store_select(sqlite3 *db, const char *sql, store_lock lock, char ***table, int *rows, int *cols)
{
    char *err = nullptr;
    lock_take(lock);
    int rc = sqlite3_get_table(db, sql, table, rows, cols, &err);
    lock_release(lock);
    if (rc != SQLITE_OK) {
        puts(err ? err : sqlite3_errstr(rc));
        sqlite3_free(err);
        return -1;
    }
    return 0;
}

int store_run(sqlite3 *db, const char *sql, store_lock lock, const char *text, int num)
{
    sqlite3_stmt *st = nullptr;
    lock_take(lock);
    int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        rc =
            text ? sqlite3_bind_text(st, 1, text, -1, SQLITE_STATIC) : sqlite3_bind_int(st, 1, num);
        if (rc == SQLITE_OK && sqlite3_step(st) != SQLITE_DONE)
            rc = SQLITE_ERROR;
        if (sqlite3_finalize(st) != SQLITE_OK)
            rc = SQLITE_ERROR;
    }
    lock_release(lock);
    if (rc != SQLITE_OK) {
        puts(sqlite3_errmsg(db));
        return -1;
    }
    return 0;
}

int store_text_to_int(const char *text)
{
    long long v = strtoll(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}
