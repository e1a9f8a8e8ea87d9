// What the two SQLite stores share: one connection a call, SQLite's own
// error text as the only message, and the process-wide rwlock around the
// one statement of a call.
#pragma once

#include <pthread.h>
#include <sqlite3.h>

// Guards the two stores: shared for reads, exclusive for writes.
extern pthread_rwlock_t rwlock;

enum store_lock { STORE_NO_LOCK, STORE_SHARED, STORE_EXCLUSIVE };

// How long a statement waits for another connection's lock before it fails
// busy: longer than any one write of the stores holds the file.
enum { STORE_BUSY_TIMEOUT_MS = 500 };

// Opens (creating when missing) the database at path with the busy timeout
// set. Null after printing SQLite's message when it cannot be opened.
sqlite3 *store_open(const char *path);

// Runs a select whose text holds no values of its own, under lock, and hands
// back sqlite3_get_table's result (free it with sqlite3_free_table).
// 0, or -1 after printing SQLite's message.
int store_select(sqlite3 *db, const char *sql, store_lock lock, char ***table, int *rows,
                 int *cols);

// Runs a statement with one parameter, ?1, bound to text (when not null) or
// else to num, under lock. 0, or -1 after printing SQLite's message.
int store_run(sqlite3 *db, const char *sql, store_lock lock, const char *text, int num);

// A stored number's text as atoi reads it (leading digits, 0 when there are
// none), held at the limits of int instead of overflowing.
int store_text_to_int(const char *text);
