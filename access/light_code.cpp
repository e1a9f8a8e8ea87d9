#include "access/light_code.h"

#include <cstring>

namespace
{

enum { COLOR_CODE_AT = 6, COLOR_CODE_LEN = 3 };

struct light_row {
    const char *code;
    unsigned char light;
};

const light_row light_table[] = {
    {"000", 0}, {"001", 1}, {"010", 2}, {"100", 3}, {"101", 4}, {"111", 5},
};

} // namespace

unsigned char access_light_code(const char *color)
{
    char code[COLOR_CODE_LEN + 1] = {0};

    // Copy the three characters, stopping early at the end of the text.
    if (color && strnlen(color, COLOR_CODE_AT) == COLOR_CODE_AT)
        memcpy(code, color + COLOR_CODE_AT, strnlen(color + COLOR_CODE_AT, COLOR_CODE_LEN));
    for (const light_row &row : light_table) {
        if (strcmp(code, row.code) == 0)
            return row.light;
    }
    return 0;
}
