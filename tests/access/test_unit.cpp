// The light code of the access gate client, which needs no service.
#include <gtest/gtest.h>

#include "access/light_code.h"

// Only an exact code at bytes 6 to 8 counts; the rest of the text may be
// anything. A text that ends before byte 9, or none, gives 0.
TEST(LightCode, ExactCodesAtBytesSixToEight)
{
    const struct {
        const char *color;
        int light;
    } rows[] = {
        {"000000000", 0}, {"000000001", 1}, {"000000010", 2},      {"000000100", 3},
        {"000000101", 4}, {"000000111", 5}, {"xyz&<>111", 5},      {"000000001-more", 1},
        {"000000011", 0}, {"000000110", 0}, {"00000001", 0},       {"", 0},
        {"000000 01", 0}, {"00000010x", 0}, {"000000\xC3\xA9", 0},
    };
    for (const auto &r : rows)
        EXPECT_EQ(access_light_code(r.color), r.light) << r.color;
    EXPECT_EQ(access_light_code(nullptr), 0);
}
