// Replies of the controller: where one ends in the byte stream, and what it says.
#pragma once

#include <cjson/cJSON.h>
#include <stddef.h>

// The controller sends no delimiter: a reply is one JSON object, complete when
// its outermost closing brace has come. The scanner counts braces outside
// strings, minding backslash escapes inside them.
struct reply_scan {
    int depth;
    bool in_string;
    bool escape;
    bool started;
};
enum {
    SCAN_MORE = 0, // the object is not complete yet
    SCAN_DONE = 1, // complete; *used tells how many bytes of this chunk belong to it
    SCAN_BAD = -1, // the stream does not start with an object
};

// Feeds the next chunk of the stream (start with a zeroed reply_scan).
int reply_scan_feed(struct reply_scan *s, const char *buf, size_t len, size_t *used);

// Parses a complete reply: 0 when it is an object with a number "response"
// (*tree owns the parsed object, *response its value), -1 otherwise.
int reply_parse(const char *text, size_t len, cJSON **tree, int *response);
