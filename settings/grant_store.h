// The offline store: the cards that the access service granted, with the
// time and the output of the last grant, and the audit of every card that
// was decided without the service. One SQLite file under /etc, written by
// a thread of its own so that no card waits for the disk.
#pragma once

#include <stddef.h>

#define GRANT_STORE_PATH "/etc/gatewarden/offline.db"

enum {
    GRANT_STORE_MAX = 10000,   // cards remembered; the least recently granted go first
    AUDIT_MAX = 10000,         // audit entries kept; the oldest go first
    GRANT_CARD_LEN = 32,       // card number text, NUL included
    GRANT_QUEUE_MAX = 256,     // changes waiting for the writer; a full queue waits
    GRANT_WRITE_DELAY_MS = 20, // the writer starts this long after a change comes
};

// The bounds in force (the constants above; tests lower them).
extern int grant_store_max;
extern int audit_max;

struct grant_rec {
    long long granted; // wall-clock time of the grant, seconds since 1970
    int relay, light;  // the output the service gave
};

// Opens (creating) the store at path, in WAL mode with every commit synced,
// and starts the writer. 0, or -1 after printing SQLite's message.
int grant_store_open(const char *path);
// Writes what is queued, stops the writer and closes the store.
void grant_store_close(void);

// Queued for the writer; they return at once unless GRANT_QUEUE_MAX changes
// are waiting. at is also the latest wall-clock time the store has seen.
void grant_store_put(const char *card, long long at, int relay, int light);
void grant_store_forget(const char *card, long long at);
void grant_store_audit(const char *card, long long at, const char *outcome, int relay, int light);

// Waits until every change queued so far is written. 0, or -1 when the
// store is closed or a batch could not be written.
int grant_store_flush(void);

// Waits until every change queued so far is written, then looks card up:
// 1 and *rec when it is remembered, 0 when not, -1 on failure (also once a
// batch of changes could not be written: a lost revocation must not open). *latest is
// the latest wall-clock time ever queued (0 when none).
int grant_store_find(const char *card, grant_rec *rec, long long *latest);

struct audit_row {
    long long id, at;
    char card[GRANT_CARD_LEN];
    char outcome[16];
    int relay, light;
};

// The audit of the store at path, oldest first, handed to fn one row at a
// time; with drain, the rows handed over are deleted in the same
// transaction. The number of rows, or -1 after printing why.
int audit_list(const char *path, bool drain, void (*fn)(const audit_row *, void *), void *arg);
