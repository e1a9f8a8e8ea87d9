// Strict number parsing for the tools' command lines and inputs.
#pragma once

// A whole decimal number from min to max, with an optional sign and nothing
// else: no blanks, no fraction, no trailing characters. 0 with the value in
// *out, or -1 (*out untouched).
int parse_long(const char *text, long min, long max, long *out);
