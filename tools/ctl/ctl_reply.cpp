#include "tools/ctl/ctl_reply.h"

#include <cmath>

int reply_scan_feed(struct reply_scan *s, const char *buf, size_t len, size_t *used)
{
    for (size_t k = 0; k < len; k++) {
        char c = buf[k];
        if (!s->started) {
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
                continue;
            if (c != '{')
                return SCAN_BAD;
            s->started = true;
            s->depth = 1;
            continue;
        }
        if (s->in_string) {
            if (s->escape)
                s->escape = false;
            else if (c == '\\')
                s->escape = true;
            else if (c == '"')
                s->in_string = false;
            continue;
        }
        if (c == '"') {
            s->in_string = true;
        } else if (c == '{' || c == '[') {
            s->depth++;
        } else if (c == '}' || c == ']') {
            if (--s->depth == 0) {
                *used = k + 1;
                return SCAN_DONE;
            }
        }
    }
    return SCAN_MORE;
}

int reply_parse(const char *text, size_t len, cJSON **tree, int *response)
{
    cJSON *root = cJSON_ParseWithLength(text, len);
    if (!root)
        return -1;
    const cJSON *r = cJSON_GetObjectItemCaseSensitive(root, "response");
    if (!cJSON_IsObject(root) || !cJSON_IsNumber(r) || !std::isfinite(r->valuedouble)) {
        cJSON_Delete(root);
        return -1;
    }
    *response = r->valueint;
    *tree = root;
    return 0;
}
