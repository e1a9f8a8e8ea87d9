// The file that turns offline grace on: while the access service gives no
// decision, a card that it granted within the period still opens the gate.
// The file does not exist by default; gatewarden-provision --offline-grace
// writes it. The daemon reads it once, at start-up.
#pragma once

// Comment lines ("#"), blank lines and one period: a whole number followed
// by "m" (minutes) or "h" (hours), e.g. "8h".
#define OFFLINE_GRACE_FILE "/etc/gatewarden/offline-grace"

enum {
    OFFLINE_GRACE_MIN_S = 60,        // 1m
    OFFLINE_GRACE_MAX_S = 72 * 3600, // 72h: a long weekend
};

// "45m", "8h": *seconds and 0; -1 when text is no period between
// OFFLINE_GRACE_MIN_S and OFFLINE_GRACE_MAX_S (*seconds untouched).
int offline_period_parse(const char *text, long *seconds);

// Reads the file at path: 1 and *seconds when it holds one period, 0 when
// it is missing, -1 when it cannot be read or holds anything else.
int offline_config_read(const char *path, long *seconds);

// "8h" or "45m" for a period, into out (at least 16 bytes).
void offline_period_text(long seconds, char *out, unsigned long size);
