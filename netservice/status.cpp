#include "netservice/status.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "common/health.h"
#include "settings/carddb.h"
#include "settings/netconfig.h"
#include "settings/offline_config.h"
#include "settings/protection.h"
#include "settings/readerdb.h"

#ifndef GATEWARDEN_VERSION
#define GATEWARDEN_VERSION "unknown"
#endif

namespace
{

const char *const CARD_KEYS[] = {"granted", "refused", "noAnswer"};

// A wall-clock time in ms as "2026-12-07T15:30:46Z".
void add_time(cJSON *obj, const char *key, long long ms)
{
    char text[32] = "";
    time_t t = static_cast<time_t>(ms / 1000);
    tm utc;
    if (ms > 0 && gmtime_r(&t, &utc))
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    cJSON_AddStringToObject(obj, key, text);
}

cJSON *protection(const char *file, bool on)
{
    cJSON *p = cJSON_CreateObject();
    cJSON_AddStringToObject(p, "file", file);
    cJSON_AddBoolToObject(p, "on", on);
    return p;
}

} // namespace

long status_offline_grace_s;

cJSON *status_report(void)
{
    health_snapshot h;
    health_read(&h);
    cJSON *r = cJSON_CreateObject();
    cJSON_AddStringToObject(r, "version", GATEWARDEN_VERSION);
    cJSON_AddNumberToObject(r, "uptime", static_cast<double>(h.uptime_ms / 1000));
    cJSON_AddBoolToObject(r, "healthy", health_ok(&h));
    cJSON *threads = cJSON_AddObjectToObject(r, "threads");
    for (int p = 0; p < HEALTH_PARTS; p++)
        cJSON_AddStringToObject(threads, HEALTH_PART_NAMES[p], HEALTH_STATE_NAMES[h.state[p]]);

    cJSON *reader = cJSON_AddObjectToObject(r, "reader");
    cJSON_AddStringToObject(reader, "port", h.port_open ? "open" : "closed");
    cJSON_AddBoolToObject(reader, "answers", h.port_open && h.reader_answers);
    cJSON_AddNumberToObject(reader, "pollsPerSecond", h.polls_per_s);

    cJSON *cards = cJSON_AddObjectToObject(r, "cards");
    for (int k = 0; k < 3; k++)
        cJSON_AddNumberToObject(cards, CARD_KEYS[k], static_cast<double>(h.cards[k]));

    cJSON *service = cJSON_AddObjectToObject(r, "service");
    cJSON_AddStringToObject(service, "state",
                            h.last_card < 0                   ? "unknown"
                            : h.last_card == HEALTH_NO_ANSWER ? "not answering"
                                                              : "answering");
    cJSON_AddStringToObject(service, "lastError", h.last_error);
    add_time(service, "lastErrorTime", h.last_error_time);

    cJSON *prot = cJSON_AddObjectToObject(r, "protections");
    cJSON_AddItemToObject(prot, "ca", protection(PROTECT_CA_FILE, service_ca_present()));
    cJSON_AddItemToObject(prot, "manageAllow",
                          protection(PROTECT_MANAGE_FILE, access(PROTECT_MANAGE_FILE, F_OK) == 0));
    cJSON *grace = protection(OFFLINE_GRACE_FILE, status_offline_grace_s > 0);
    cJSON_AddNumberToObject(grace, "period", static_cast<double>(status_offline_grace_s));
    cJSON_AddItemToObject(prot, "offlineGrace", grace);

    cJSON *files = cJSON_AddObjectToObject(r, "settings");
    const char *const paths[] = {NETCONFIG_PATH, READER_DB_PATH, CARD_DB_PATH};
    for (const char *f : paths)
        cJSON_AddBoolToObject(files, f, access(f, F_OK) == 0);
    return r;
}

char *status_text(void)
{
    cJSON *r = status_report();
    char *text = r ? cJSON_PrintUnformatted(r) : nullptr;
    cJSON_Delete(r);
    return text;
}
