// A TCP command that arrives while the hardware thread waits for a slow
// access check: it runs after the check with its own result, and the card
// answer of that check runs too, each exactly once.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/board.h"

namespace
{

const int DELAY_MS = 1500;

class Meeting : public testing::Test
{
  protected:
    Board b;
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        ASSERT_TRUE(
            b.start_service({"--grant-all", "--fault", "delay=" + std::to_string(DELAY_MS)}));
        ASSERT_TRUE(b.start_reader({"--quiet-polls"}));
        ASSERT_TRUE(b.start_daemon());
    }

    // Presents a card, and once the reader has handed it over sends request
    // over TCP. Returns the reply; *waited is how long it took.
    std::string during_check(const std::string &request, double *waited)
    {
        b.reader.write_stdin("card 0A1B2C3D\n");
        EXPECT_TRUE(b.reader.wait_for(" tx status=00 data=", 5000));
        double t0 = now_ms();
        std::string r = ask(request, 10000);
        *waited = now_ms() - t0;
        EXPECT_TRUE(b.reader.wait_for("out light=3 buzzer=0 relay=1", 5000));
        usleep(300000);
        b.drain();
        return r;
    }
};

} // namespace

TEST_F(Meeting, RelayCommandDuringAccessCheck)
{
    double waited;
    EXPECT_EQ(during_check(R"({"Command":"CMD_CtrRelay"})", &waited), reply(1));
    EXPECT_GE(waited, DELAY_MS - 500.0); // it had to wait for the check
    EXPECT_EQ(count_lines(b.reader, "rx 93 relay"), 1);
    EXPECT_EQ(count_lines(b.reader, "rx 97 device data=030001"), 1);
    EXPECT_EQ(count_lines(b.reader, "rx 97"), 1);
    EXPECT_EQ(count_lines(b.service, " request "), 1);
}

// The command fails while the card answer succeeds: the requester gets its
// own failure, not the card answer's success.
TEST_F(Meeting, FailingCommandGetsItsOwnResult)
{
    b.reader.write_stdin("fault status=05,cmd=93\n");
    double waited;
    EXPECT_EQ(during_check(R"({"Command":"CMD_CtrRelay"})", &waited), reply(0));
    EXPECT_EQ(count_lines(b.reader, "rx 93 relay"), 1);
    EXPECT_EQ(count_lines(b.reader, "rx 97 device data=030001"), 1);
}

// Both are combined output commands: neither overwrites the other's codes.
TEST_F(Meeting, DeviceCommandAndCardAnswerKeepTheirCodes)
{
    double waited;
    EXPECT_EQ(during_check(R"({"Command":"CMD_CtrDevice","Data":{"Light":5,"Buzzer":1,"Relay":0}})",
                           &waited),
              reply(1));
    EXPECT_EQ(count_lines(b.reader, "rx 97 device data=050100"), 1);
    EXPECT_EQ(count_lines(b.reader, "rx 97 device data=030001"), 1);
    EXPECT_EQ(count_lines(b.reader, "rx 97"), 2);
}

// The settings read during a check come back to the requester.
TEST_F(Meeting, ReadOfSettingsDuringAccessCheck)
{
    double waited;
    std::string r = during_check(R"({"Command":"CMD_GetReaderInfo"})", &waited);
    EXPECT_TRUE(starts_with(r, "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n")) << r;
    EXPECT_EQ(count_lines(b.reader, "rx 91 get-info"), 1);
    EXPECT_EQ(count_lines(b.reader, "rx 97"), 1);
}
