// gatewarden-provision --offline-grace PERIOD|off: the option, kept apart
// from the others.
#pragma once

#include <cstdio>
#include <string>

// Takes every --offline-grace VALUE out of argv (the last one counts).
// 0 when there was none, 1 when taken: *text is the file to install, or
// empty for "off"; 2 after a message when the value is bad.
int grace_option_take(int *argc, char **argv, std::string *text);

// Removes root's OFFLINE_GRACE_FILE ("off"). 0, or 1 after a message.
int grace_remove(const std::string &root);

// The option's lines of the usage text.
void grace_usage(FILE *out);
