// Replies of the controller: where one ends in the byte stream, what it
// says, and how it is shown to people.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/ctl/ctl.h"

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

void print_text(FILE *out, const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (*p < ' ' || *p == 127)
            fprintf(out, "\\x%02X", *p);
        else
            fputc(*p, out);
    }
}

char *value_text(const cJSON *v)
{
    if (cJSON_IsString(v))
        return strdup(v->valuestring);
    if (cJSON_IsNumber(v) && std::isfinite(v->valuedouble) &&
        v->valuedouble == std::floor(v->valuedouble) && std::fabs(v->valuedouble) < 1e15) {
        char buf[32];
        snprintf(buf, sizeof buf, "%lld", (long long)v->valuedouble);
        return strdup(buf);
    }
    return cJSON_PrintUnformatted(v);
}

void print_row(FILE *out, const char *label, int width, const char *value)
{
    print_text(out, label);
    int pad = width - (int)strlen(label);
    fprintf(out, "%*s  ", pad > 0 ? pad : 0, "");
    print_text(out, value ? value : "?");
    fputc('\n', out);
}

void print_members(FILE *out, const cJSON *obj)
{
    int width = 0;
    for (const cJSON *m = obj ? obj->child : nullptr; m; m = m->next) {
        int w = (int)strlen(m->string ? m->string : "");
        if (w > width)
            width = w;
    }
    for (const cJSON *m = obj ? obj->child : nullptr; m; m = m->next) {
        char *v = value_text(m);
        print_row(out, m->string ? m->string : "", width, v);
        free(v);
    }
}
