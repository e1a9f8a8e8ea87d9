// The road of a card through the real daemon: the poll that reads it, one
// GrantAccess request, the combined output command, then polling again.
#include <gtest/gtest.h>

#include "tests/e2e/board.h"

namespace
{

class CardRoad : public testing::Test
{
  protected:
    Board b;
    void SetUp() override { REQUIRE_SANDBOX(); }

    void start(const std::vector<std::string> &service_args)
    {
        ASSERT_TRUE(db_exec("update readerInfo set devAddr=7 where id=1"));
        ASSERT_TRUE(b.start_service(service_args));
        ASSERT_TRUE(b.start_reader());
        ASSERT_TRUE(b.start_daemon());
        ASSERT_TRUE(b.reader.wait_for("rx 95 poll", 5000)) << "no polling";
    }

    // Presents a card and returns the reader's request lines from the poll
    // that delivered it on, once the output that followed it is done.
    std::vector<std::string> present(const std::string &card)
    {
        size_t from = b.reader.lines().size();
        b.reader.write_stdin("card " + card + "\n");
        EXPECT_TRUE(b.reader.wait_for("out light=", 8000));
        EXPECT_TRUE(b.reader.wait_for("rx 95 poll", 3000)) << "polling did not resume";
        std::vector<std::string> seq;
        bool delivered = false;
        const auto &lines = b.reader.lines();
        for (size_t i = from; i < lines.size(); i++) {
            const std::string &l = lines[i];
            if (l.find(" tx status=00 data=") != std::string::npos && !delivered) {
                delivered = true;
                continue;
            }
            size_t at = l.find(" rx ");
            if (delivered && at != std::string::npos)
                seq.push_back(l.substr(at + 1));
        }
        return seq;
    }
};

} // namespace

TEST_F(CardRoad, GrantedCardOpensTheRelayThenPollingResumes)
{
    start({"--grant-all"});
    std::vector<std::string> seq = present("0A1B2C3D");
    ASSERT_GE(seq.size(), 2u);
    EXPECT_EQ(seq[0], "rx 97 device data=030001"); // the very next exchange
    EXPECT_EQ(seq[1], "rx 95 poll");
    EXPECT_EQ(count_lines(b.reader, "out light=3 buzzer=0 relay=1"), 1);

    usleep(300000);
    b.drain();
    EXPECT_EQ(count_lines(b.service, " request "), 1);
    EXPECT_EQ(count_lines(b.service, "request dev=7 card=0A1B2C3D\\n decision=grant relay=1 "
                                     "color=000000100"),
              1);
    EXPECT_EQ(count_lines(b.reader, "rx 97"), 1);
}

TEST_F(CardRoad, RefusedCardStillDrivesTheLight)
{
    start({"--deny-all"});
    std::vector<std::string> seq = present("04A1B2C3D4E5F6");
    ASSERT_GE(seq.size(), 1u);
    EXPECT_EQ(seq[0], "rx 97 device data=010000");
    EXPECT_EQ(count_lines(b.reader, "out light=1 buzzer=0 relay=0"), 1);
    b.drain();
    EXPECT_EQ(count_lines(b.service, "card=04A1B2C3D4E5F6\\n decision=deny relay=0"), 1);
}

TEST_F(CardRoad, SameCardReadTwiceIsCheckedTwice)
{
    start({"--card", "0A1B2C3D=1,000000010"});
    std::vector<std::string> first = present("0A1B2C3D");
    std::vector<std::string> second = present("0A1B2C3D");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(first[0], "rx 97 device data=020001");
    EXPECT_EQ(second[0], "rx 97 device data=020001");
    b.drain();
    EXPECT_EQ(count_lines(b.service, "card=0A1B2C3D\\n decision=grant"), 2);
}

// No answer from the service: nothing reaches the reader, polling goes on,
// and the next card is read and checked again.
TEST_F(CardRoad, ServiceDownLeavesTheReaderAloneAndPollingGoesOn)
{
    ASSERT_TRUE(b.start_service({"--grant-all"}));
    b.service.stop(); // the stored URL now leads nowhere
    ASSERT_TRUE(b.start_reader());
    ASSERT_TRUE(b.start_daemon());
    ASSERT_TRUE(b.reader.wait_for("rx 95 poll", 5000));
    for (int i = 0; i < 2; i++) {
        b.reader.write_stdin("card 0A1B2C3D\n");
        ASSERT_TRUE(b.daemon.wait_for("GrantAccess failed", 8000));
        ASSERT_TRUE(b.reader.wait_for("rx 95 poll", 3000));
    }
    usleep(200000);
    b.drain();
    EXPECT_EQ(count_lines(b.reader, "rx 97"), 0);
    EXPECT_EQ(count_lines(b.reader, "out light="), 0);
    EXPECT_EQ(count_lines(b.daemon, "GrantAccess failed"), 2);
}
