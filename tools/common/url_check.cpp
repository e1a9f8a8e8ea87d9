#include "tools/common/url_check.h"

#include <cstring>
#include <strings.h>

#include "settings/readerdb.h"

int tool_check_url(const char *text)
{
    if (strncasecmp(text, "http://", 7) != 0 && strncasecmp(text, "https://", 8) != 0)
        return -1;
    size_t n = strlen(text);
    if (n > READER_URL_MAX || n <= 8)
        return -1;
    for (size_t k = 0; k < n; k++) {
        unsigned char c = (unsigned char)text[k];
        if (c <= ' ' || c >= 127)
            return -1;
    }
    return 0;
}
