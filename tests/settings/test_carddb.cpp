// The card record queue on its real path, /etc/card.db, inside the board
// sandbox.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "settings/carddb.h"
#include "settings/sqlstore.h"
#include "tests/sql.h"
#include "tools/support/support.h"

namespace
{

const char *const DB = "/etc/card.db";

int push(std::string num)
{
    return writeCardRecord(&num[0]);
}

// The front record's number and id, or "none" and -1.
std::string front(int *id = nullptr)
{
    CardRecord *rec = readCardRecord();
    std::string s = rec ? rec->cardNum : "none";
    if (id)
        *id = rec ? rec->id : -1;
    free(rec);
    return s;
}

bool rwlock_free()
{
    if (pthread_rwlock_trywrlock(&rwlock) != 0)
        return false;
    pthread_rwlock_unlock(&rwlock);
    return true;
}

class CardDb : public testing::Test
{
  protected:
    void SetUp() override
    {
        unlink(DB);
        ASSERT_EQ(sql_query(DB, "create table card(id INTEGER PRIMARY KEY, cardNum TEXT);"), "");
    }
    void TearDown() override { EXPECT_TRUE(rwlock_free()); }
};

TEST_F(CardDb, FirstInFirstOutAndExactNumbers)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(front(), "none");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ""); // empty is not an error

    // An index on the number must not change the order; numbers are stored
    // as they are, up to the field's 31 characters.
    ASSERT_EQ(sql_query(DB, "create index card_num on card(cardNum);"), "");
    const std::string max(CARD_NUM_LEN - 1, '9');
    for (const std::string &n : {std::string("C3\n"), std::string("'); drop table card;--"),
                                 std::string("%s%n"), max, std::string()})
        ASSERT_EQ(push(n), 0) << n;
    EXPECT_EQ(push(max + "9") + push(std::string(500, '9')) + writeCardRecord(nullptr), -3);
    int id = 0, next = 0;
    EXPECT_EQ(front(&id), "C3\n");
    EXPECT_EQ(front(), "C3\n"); // reading does not take it out
    EXPECT_EQ(deleteCardRecord(id) + deleteCardRecord(id) + deleteCardRecord(9999), 0);
    EXPECT_EQ(front(&next), "'); drop table card;--");
    EXPECT_NE(next, id);
    ASSERT_EQ(push("D4"), 0);
    for (std::string want : {"'); drop table card;--", "%s%n", max.c_str(), "", "D4"}) {
        EXPECT_EQ(front(&id), want);
        EXPECT_EQ(deleteCardRecord(id), 0);
    }
    EXPECT_EQ(front(), "none");
    EXPECT_EQ(sql_query(DB, "select count(*) from card"), "0");

    // Stored by someone else: cut to the field; a NULL number reads empty so
    // the row can still be taken out.
    ASSERT_EQ(sql_query(DB, "insert into card(cardNum) values(printf('%.300c', 'x'));"
                            "insert into card(cardNum) values(NULL);"),
              "");
    EXPECT_EQ(front(&id), std::string(CARD_NUM_LEN - 1, 'x'));
    ASSERT_EQ(deleteCardRecord(id), 0);
    EXPECT_EQ(front(&id), "");
    ASSERT_EQ(deleteCardRecord(id), 0);
    EXPECT_EQ(front(), "none");
}

TEST_F(CardDb, MissingFileOrTableFails)
{
    for (const char *setup : {"", "create table other(x);"}) {
        unlink(DB);
        if (*setup) {
            ASSERT_EQ(sql_query(DB, setup), "");
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(push("0A1B2C3D\n"), -1);
        EXPECT_EQ(front(), "none");
        EXPECT_EQ(deleteCardRecord(1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "no such table: card\nno such table: card\nno such table: card\n");
        EXPECT_TRUE(file_exists(DB));
        EXPECT_TRUE(rwlock_free());
    }
}

} // namespace
