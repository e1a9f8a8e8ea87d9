#include "tools/ctl/ctl_print.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

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

void print_members(FILE *out, const cJSON *obj, const char *prefix)
{
    int width = 0;
    size_t plen = prefix ? strlen(prefix) : 0;
    for (const cJSON *m = obj ? obj->child : nullptr; m; m = m->next) {
        int w = (int)(plen + strlen(m->string ? m->string : ""));
        if (w > width)
            width = w;
    }
    for (const cJSON *m = obj ? obj->child : nullptr; m; m = m->next) {
        char label[256];
        snprintf(label, sizeof label, "%s%s", prefix ? prefix : "", m->string ? m->string : "");
        char *v = value_text(m);
        print_row(out, label, width, v);
        free(v);
    }
}
