// Offline grace: while the access service gives no decision, a card that it
// granted within the grace period gets the output it got then. Off unless
// OFFLINE_GRACE_FILE exists; then every answer of the service updates the
// offline store and every card decided without it is audited. See
// docs/board.md, "Offline grace".
#pragma once

// The wall clock the decisions read, in seconds since 1970 (tests replace it).
extern long long (*grace_clock)(void);
// Times before this (the build date) mean the clock is not set yet.
extern long long grace_clock_floor;

// Start-up: reads config_path and, when it holds a period, opens the store
// at store_path. Returns the period in seconds, 0 when off (no file), -1
// when the file or the store is unusable (then off too; a line says why).
long offline_grace_start(const char *config_path, const char *store_path);
// The period in force, 0 when off.
long offline_grace_period(void);
// Tests: stops the writer and turns it off.
void offline_grace_stop(void);

// The service decided on card: granted (relay 1) remembers it with its
// output, refused forgets it. Does nothing when off.
void offline_grace_answer(const char *card, int relay, int light);

// The service gave no decision on card: posts the remembered output when the
// card was granted within the period. 1 when posted, 0 when not (also when off).
int offline_grace_no_answer(const char *card);
