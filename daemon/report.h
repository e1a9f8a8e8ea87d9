// What the daemon says about itself at start-up.
#pragma once

// One line with the version, the reader device, the ports, the service URL
// (masked), offline grace (off or its period) and which settings files were
// found; then, when /etc/reader.db is missing or cannot be read, one line
// saying so and naming the built-in URL.
void report_start(void);
