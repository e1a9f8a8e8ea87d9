// The message for what getopt_long could not take.
#pragma once

#include <stddef.h>

// After getopt_long (with opterr 0) returned '?': writes to msg "unknown
// option 'W'", "--NAME takes no value" or "W needs a value", W being the
// word it stopped at (argv[optind - 1]); shortopts is the short-option
// string that getopt_long was given.
void getopt_failure(char **argv, const char *shortopts, char *msg, size_t size);
