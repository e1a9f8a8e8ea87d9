// What the daemon says about itself: the level of the failure lines that the
// lower layers print, and the start-up line.
#pragma once

#include <stddef.h>

#include "common/log.h"

// Failure lines printed on standard output with plain printf or puts, by
// their start; every other line there is information.
extern const log_rule DAEMON_LEVELS[];
extern const size_t DAEMON_LEVEL_COUNT;

// One line with the version, the reader device, the ports, the service URL
// (masked), offline grace (off or its period) and which settings files were
// found; then, when /etc/reader.db is missing or cannot be read, one line
// saying so and naming the built-in URL.
void report_start(void);
