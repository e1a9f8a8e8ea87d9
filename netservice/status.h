// The status report: one read-only view of how the controller is doing, for
// the management command CMD_GetStatus and the status file of the daemon.
#pragma once

#include <cjson/cJSON.h>

// Set at start-up: the offline grace period in force, in seconds (0: off).
extern long status_offline_grace_s;

// The "Data" object of the report (release with cJSON_Delete), or null when
// out of memory. Its members are described in gatewarden(8).
cJSON *status_report(void);

// The whole report as one compact line of JSON, malloc'd (free()), or null.
char *status_text(void);
