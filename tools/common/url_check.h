// The check of an access service URL given on a tool's command line.
#pragma once

// 0 when text is an http:// or https:// URL (either case) of printable characters without
// blanks, longer than its scheme and at most READER_URL_MAX characters; -1 not.
int tool_check_url(const char *text);
