// URL masking and the flood limiter, on a captured standard output.
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/log.h"

TEST(Log, UrlsLoseTheirUserInformationAndNothingElse)
{
    const char *const cases[][2] = {
        {"https://a:b@c@host:80/", "https://***@host:80/"},
        {"a://u@h/p@th?q=a@b#f@g b://v@i?u@x, c:/w@j",
         "a://***@h/p@th?q=a@b#f@g b://***@i?u@x, c:/w@j"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(log_mask_urls(c[0]), c[1]) << c[0];
}

// The first line, then a summary per interval with the count, an end line.
TEST(Log, RepeatedConditionIsSummarised)
{
    log_flood_interval_ms = 200;
    static log_flood f = LOG_FLOOD_INIT(LOG_WARNING, LOG_STDOUT, "no reply");
    testing::internal::CaptureStdout();
    const int holds[] = {0, 1, 1, 1, 1, 1, -1, 1, 1, 0, 0};
    for (int h : holds)
        h < 0 ? (void)usleep(250000) : log_flood_state(&f, h, "no reply from %s", "reader");
    for (int i = 0; i < 2; i++)
        LOG_FLOOD(i == 0, LOG_WARNING, "recv data timeout");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "no reply from reader\n"
                                                      "no reply: 5 more times in 0 s\n"
                                                      "no reply: ended, 7 times in all\n"
                                                      "recv data timeout\n"
                                                      "recv data timeout: ended, 1 time in all\n");
}
