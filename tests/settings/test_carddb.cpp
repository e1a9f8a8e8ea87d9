// The card record queue on its real path, /etc/card.db, inside the board
// sandbox.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/slot.h"
#include "settings/carddb.h"
#include "tests/settings/settings_files.h"

namespace
{

const char *const DB = "/etc/card.db";

std::string sql(const std::string &text)
{
    return sql_query(DB, text);
}

int push(const std::string &num)
{
    std::vector<char> buf(num.begin(), num.end());
    buf.push_back('\0');
    return writeCardRecord(buf.data());
}

// The front record's number and id, or "" / -1 when there is none.
std::string front(int *id = nullptr)
{
    CardRecord *rec = readCardRecord();
    std::string num = rec ? rec->cardNum : "";
    if (id)
        *id = rec ? rec->id : -1;
    free(rec);
    return num;
}

class CardDb : public testing::Test
{
  protected:
    void SetUp() override
    {
        unlink(DB);
        ASSERT_EQ(sql("create table card(id INTEGER PRIMARY KEY, cardNum TEXT);"), "");
    }
    void TearDown() override { EXPECT_TRUE(rwlock_free()); }
};

TEST_F(CardDb, FirstInFirstOut)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(readCardRecord(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ""); // empty is not an error

    // An index on the number must not change the order.
    ASSERT_EQ(sql("create index card_num on card(cardNum);"), "");
    for (const char *n : {"C3\n", "A1\n", "B2\n"})
        ASSERT_EQ(push(n), 0);
    int id = 0;
    EXPECT_EQ(front(&id), "C3\n");
    EXPECT_EQ(front(), "C3\n"); // reading does not take it out
    EXPECT_EQ(deleteCardRecord(id), 0);
    EXPECT_EQ(deleteCardRecord(id), 0); // gone already: still 0
    EXPECT_EQ(deleteCardRecord(9999), 0);
    int second = 0;
    EXPECT_EQ(front(&second), "A1\n");
    EXPECT_NE(second, id);
    ASSERT_EQ(push("D4\n"), 0);
    EXPECT_EQ(deleteCardRecord(second), 0);
    EXPECT_EQ(front(&id), "B2\n");
    EXPECT_EQ(deleteCardRecord(id), 0);
    EXPECT_EQ(front(&id), "D4\n");
    EXPECT_EQ(deleteCardRecord(id), 0);
    EXPECT_EQ(readCardRecord(), nullptr);
    EXPECT_EQ(sql("select count(*) from card"), "0");
}

TEST_F(CardDb, NumbersAreStoredExactlyWithinTheField)
{
    const std::vector<std::string> nums = {"12'34", "'); drop table card;--", "%s%n",
                                           std::string(CARD_NUM_LEN - 1, '9'), ""};
    for (const std::string &n : nums) {
        ASSERT_EQ(push(n), 0) << n;
        int id;
        EXPECT_EQ(front(&id), n);
        EXPECT_EQ(sql("select cardNum from card"), n);
        ASSERT_EQ(deleteCardRecord(id), 0);
    }
    EXPECT_EQ(push(std::string(CARD_NUM_LEN, '9')), -1);
    EXPECT_EQ(push(std::string(500, '9')), -1);
    EXPECT_EQ(writeCardRecord(nullptr), -1);
    EXPECT_EQ(sql("select count(*) from card"), "0");

    // Stored by someone else: cut to the field; a NULL number reads empty so
    // the row can still be taken out.
    ASSERT_EQ(sql("insert into card(cardNum) values(printf('%.300c', 'x'));"
                  "insert into card(cardNum) values(NULL);"),
              "");
    int id;
    EXPECT_EQ(front(&id), std::string(CARD_NUM_LEN - 1, 'x'));
    ASSERT_EQ(deleteCardRecord(id), 0);
    CardRecord *rec = readCardRecord();
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->cardNum, "");
    EXPECT_EQ(deleteCardRecord(rec->id), 0);
    free(rec);
    EXPECT_EQ(readCardRecord(), nullptr);
}

TEST_F(CardDb, MissingFileOrTableFails)
{
    for (const char *setup : {"missing file", "missing table"}) {
        SCOPED_TRACE(setup);
        unlink(DB);
        if (strcmp(setup, "missing table") == 0) {
            ASSERT_EQ(sql("create table other(x);"), "");
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(push("0A1B2C3D\n"), -1);
        EXPECT_EQ(readCardRecord(), nullptr);
        EXPECT_EQ(deleteCardRecord(1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "no such table: card\nno such table: card\nno such table: card\n");
        EXPECT_TRUE(file_exists(DB));
        EXPECT_TRUE(rwlock_free());
    }
}

} // namespace
