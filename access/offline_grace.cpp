// Offline grace: the decision without the service, its audit and its
// journal lines. Runs on the hardware thread; the store writes on its own.
#include "access/offline_grace.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "access/card_text.h"
#include "common/log.h"
#include "core/slot.h"
#include "settings/grant_store.h"
#include "settings/offline_config.h"

#ifndef GATEWARDEN_BUILD_EPOCH
#define GATEWARDEN_BUILD_EPOCH 0
#endif

namespace
{

long long wall_now(void)
{
    return static_cast<long long>(time(nullptr));
}

// How one card went without the service; the audit's outcome texts.
const char GRANTED[] = "granted";           // remembered output posted
const char UNKNOWN[] = "unknown";           // not granted by the service (or revoked since)
const char EXPIRED[] = "expired";           // granted longer ago than the period, or in the future
const char NO_CLOCK[] = "no clock";         // the wall clock is not set
const char STORE_FAILED[] = "store failed"; // the look-up failed, or a write was lost

struct grace_state {
    long period;           // seconds; 0 off
    bool outage;           // the last call gave no decision
    unsigned long offline; // cards decided in this outage
} g;

// The card number without its line feed.
void card_key(const char *card, char *key)
{
    snprintf(key, GRANT_CARD_LEN, "%.*s", static_cast<int>(card_text_len(card)), card);
}

const char *decide(const char *key, long long now, grant_rec *rec)
{
    long long latest = 0;
    if (now < grace_clock_floor)
        return NO_CLOCK;
    int found = grant_store_find(key, rec, &latest);
    if (found != 1)
        return found < 0 ? STORE_FAILED : UNKNOWN;
    // A clock set back must not make an old grant young: age is counted from
    // the latest time the store has seen, and a grant after now is no grant.
    long long ref = now > latest ? now : latest;
    if (rec->granted < grace_clock_floor || rec->granted > now || ref - rec->granted > g.period)
        return EXPIRED;
    return GRANTED;
}

} // namespace

long long (*grace_clock)(void) = wall_now;
long long grace_clock_floor = GATEWARDEN_BUILD_EPOCH;

long offline_grace_start(const char *config_path, const char *store_path)
{
    long period = 0;
    int rc = offline_config_read(config_path, &period);
    if (rc == 0)
        return 0;
    if (rc < 0) {
        log_line(LOG_ERR,
                 "%s: not a grace period (one line such as 8h or 45m, at most %dh): offline "
                 "grace stays off",
                 config_path, OFFLINE_GRACE_MAX_S / 3600);
        return -1;
    }
    if (grant_store_open(store_path) != 0) {
        log_line(LOG_ERR, "%s cannot be opened: offline grace stays off", store_path);
        return -1;
    }
    g = {period, false, 0};
    return period;
}

long offline_grace_period(void)
{
    return g.period;
}

void offline_grace_stop(void)
{
    grant_store_close();
    g = {0, false, 0};
}

void offline_grace_answer(const char *card, int relay, int light)
{
    if (g.period == 0)
        return;
    char key[GRANT_CARD_LEN];
    card_key(card, key);
    long long now = grace_clock();
    if (relay)
        grant_store_put(key, now, relay, light);
    else
        grant_store_forget(key, now);
    if (g.outage)
        log_line(LOG_WARNING,
                 "offline: the access service decides again, %lu cards were decided "
                 "without it",
                 g.offline);
    g.outage = false;
}

int offline_grace_no_answer(const char *card)
{
    if (g.period == 0)
        return 0;
    char key[GRANT_CARD_LEN];
    card_key(card, key);
    long long now = grace_clock();
    if (!g.outage) {
        char text[16];
        offline_period_text(g.period, text, sizeof text);
        log_line(LOG_WARNING,
                 "offline: no decision from the access service, cards granted within %s open "
                 "from the offline store",
                 text);
        g.outage = true;
        g.offline = 0;
    }
    g.offline++;
    grant_rec rec = {};
    const char *outcome = decide(key, now, &rec);
    bool open = outcome == GRANTED;
    if (open) {
        slot_post_card_answer(static_cast<unsigned char>(rec.light), 0,
                              static_cast<unsigned char>(rec.relay));
        log_line(LOG_WARNING,
                 "offline: card %s granted from the store (granted %lld s ago), "
                 "relay %d, light %d",
                 key, now - rec.granted, rec.relay, rec.light);
    } else {
        log_line(LOG_WARNING, "offline: card %s not opened: %s", key, outcome);
    }
    grant_store_audit(key, now, outcome, open ? rec.relay : 0, open ? rec.light : 0);
    return open ? 1 : 0;
}
