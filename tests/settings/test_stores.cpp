// /etc/reader.db and /etc/card.db inside the board sandbox, checked against
// what a second connection sees.
#include <climits>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <sqlite3.h>
#include <thread>

#include "settings/carddb.h"
#include "settings/readerdb.h"
#include "settings/sqlstore.h"
#include "tests/sql.h"
#include "tools/support/support.h"

using namespace std::chrono_literals;
using namespace testing::internal;

namespace
{

const char *const DB = "/etc/reader.db";
const std::string SCHEMA =
    "create table readerInfo(id INTEGER PRIMARY KEY, devAddr INTEGER, serverUrl TEXT);";

std::string sql(const std::string &text, const char *db = DB)
{
    return sql_query(db, text);
}

bool rwlock_free()
{
    return pthread_rwlock_trywrlock(&rwlock) == 0 && pthread_rwlock_unlock(&rwlock) == 0;
}

class ReaderDb : public testing::Test
{
  protected:
    void SetUp() override { make(SCHEMA + "insert into readerInfo values(1, 7, 'http://u/');"); }
    void TearDown() override { EXPECT_TRUE(rwlock_free()); }
    void make(const std::string &text, const char *db = DB)
    {
        unlink(db);
        ASSERT_EQ(sql(text, db), "");
    }
};

// URLs stored by someone else, longer than either reader's buffer: each read
// copies only what its buffer holds (exact heap buffers, for AddressSanitizer).
TEST_F(ReaderDb, ReadsAreBoundedAndNumbersHeldAtTheLimits)
{
    ASSERT_EQ(sql("update readerInfo set serverUrl=printf('%.2000c', 'w')"), "");
    std::unique_ptr<char[]> tcp(new char[1024]), client(new char[READER_URL_MAX + 1]);
    int dev = 0;
    ASSERT_EQ(readUrlConfig(tcp.get()) + read_DevAddr_Url_Config(&dev, client.get()), 0);
    EXPECT_EQ(std::string(tcp.get()), std::string(1023, 'w'));
    EXPECT_EQ(std::string(client.get()), std::string(READER_URL_MAX, 'w'));
    EXPECT_EQ(dev, 7);
    std::string over(READER_URL_MAX + 1, 'u');
    EXPECT_EQ(writeUrlConfig(&over[0]), -1);

    // Stored numbers read as atoi reads them, held at the limits of int.
    const std::pair<const char *, int> texts[] = {
        {"'42abc'", 42}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
    for (const auto &t : texts) {
        sql(std::string("update readerInfo set devAddr=") + t.first);
        ASSERT_EQ(readDevAddr(&dev), 0) << t.first;
        EXPECT_EQ(dev, t.second) << t.first;
    }
    ASSERT_EQ(writeDevAddr(INT_MIN), 0);
    EXPECT_EQ(sql("select devAddr || ' ' || length(serverUrl) from readerInfo"),
              std::to_string(INT_MIN) + " 2000");
}

// Every failure: -1, its message, out-parameters as the caller left them,
// rwlock free again. Without row 1 or with NULLs the reads fail without a
// message of their own; without row 1 the writes fail too, storing nothing.
TEST_F(ReaderDb, MissingFileTableRowOrValueFails)
{
    const std::string NO_ROW = "/etc/reader.db: readerInfo has no row 1: nothing stored\n",
                      NO_TABLE = "no such table: readerInfo\n";
    const struct {
        std::string setup, read_msg, write_msg; // setup "-": no file, else SQL
        int writes;
        const char *after;
    } cases[] = {
        {"-", NO_TABLE, NO_TABLE, -2, "<error: no such table: readerInfo>"},
        {SCHEMA + "insert into readerInfo values(2, 8, 'http://two/');", "", NO_ROW, -2,
         "2 8 http://two/"},
        {SCHEMA + "insert into readerInfo values(1, NULL, NULL);", "", "", 0, "1 5 http://new/"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.setup);
        unlink(DB);
        if (c.setup != "-")
            make(c.setup);
        int dev = 4242;
        char url[1024] = "keep", newurl[] = "http://new/";
        CaptureStdout();
        EXPECT_EQ(readDevAddr(&dev) + readUrlConfig(url) + read_DevAddr_Url_Config(&dev, url), -3);
        EXPECT_EQ(dev, 4242);
        EXPECT_STREQ(url, "keep");
        EXPECT_EQ(writeDevAddr(5) + writeUrlConfig(newurl), c.writes);
        // Three reads and two writes, each its message.
        EXPECT_EQ(GetCapturedStdout(),
                  c.read_msg + c.read_msg + c.read_msg + c.write_msg + c.write_msg);
        EXPECT_TRUE(rwlock_free());
        EXPECT_EQ(sql("select id || ' ' || devAddr || ' ' || serverUrl from readerInfo"), c.after);
    }
}

// The URL statements share rwlock with the card queue: the reads shared, the
// write exclusive; the device address statements take no lock.
TEST_F(ReaderDb, LockModes)
{
    char url[1024], client[READER_URL_MAX + 1], newurl[] = "http://after/";
    int dev = 0, d = 0;
    ASSERT_EQ(pthread_rwlock_rdlock(&rwlock), 0);
    auto read_url = std::async(std::launch::async, [&] {
        return readUrlConfig(url) + read_DevAddr_Url_Config(&dev, client);
    });
    EXPECT_EQ(read_url.wait_for(5s), std::future_status::ready);
    auto write_url = std::async(std::launch::async, [&] { return writeUrlConfig(newurl); });
    EXPECT_EQ(write_url.wait_for(150ms), std::future_status::timeout);
    pthread_rwlock_unlock(&rwlock);
    EXPECT_EQ(write_url.get() + read_url.get(), 0);

    ASSERT_EQ(pthread_rwlock_wrlock(&rwlock), 0);
    std::future<int> reads[] = {
        std::async(std::launch::async, [&] { return readUrlConfig(url); }),
        std::async(std::launch::async, [&] { return read_DevAddr_Url_Config(&dev, client); })};
    auto devs = std::async(std::launch::async, [&] { return readDevAddr(&d) + writeDevAddr(9); });
    std::future_status st = devs.wait_for(5s);
    for (auto &r : reads)
        EXPECT_EQ(r.wait_for(150ms), std::future_status::timeout) << "read under an exclusive lock";
    pthread_rwlock_unlock(&rwlock);
    EXPECT_EQ(st, std::future_status::ready);
    EXPECT_EQ(devs.get(), 0);
    for (auto &r : reads)
        EXPECT_EQ(r.get(), 0);
    EXPECT_STREQ(url, "http://after/");
}

// Another connection holds the database for ~100 ms: the per-card read and
// the write wait for it instead of failing busy.
TEST_F(ReaderDb, WaitsForAnotherConnectionsLock)
{
    std::promise<void> held;
    std::thread holder([&] {
        sqlite3 *db;
        sqlite3_open(DB, &db);
        sqlite3_exec(db, "begin exclusive; update readerInfo set devAddr=11;", 0, 0, 0);
        held.set_value();
        usleep(100 * 1000);
        sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    });
    held.get_future().wait();
    int dev = -1;
    char url[READER_URL_MAX + 1];
    EXPECT_EQ(read_DevAddr_Url_Config(&dev, url) + writeDevAddr(12), 0);
    holder.join();
    EXPECT_EQ(sql("select devAddr from readerInfo"), "12");
}

const char *const CARD_DB = "/etc/card.db";

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

TEST_F(ReaderDb, CardQueueFirstInFirstOutAndExactNumbers)
{
    make("create table card(id INTEGER PRIMARY KEY, cardNum TEXT);", CARD_DB);
    EXPECT_EQ(front(), "none");

    // An index on the number must not change the order; numbers are stored
    // as they are, up to the field's 31 characters.
    ASSERT_EQ(sql("create index card_num on card(cardNum);", CARD_DB), "");
    const std::string max(CARD_NUM_LEN - 1, '9'), cut(CARD_NUM_LEN - 1, 'x');
    for (const std::string &n : {std::string("C3\n"), std::string("'); drop table card;--"),
                                 std::string("%s%n"), max, std::string()})
        ASSERT_EQ(push(n), 0) << n;
    EXPECT_EQ(push(max + "9") + push(std::string(500, '9')) + writeCardRecord(nullptr), -3);
    int id = 0;
    EXPECT_EQ(front(&id), "C3\n");
    EXPECT_EQ(front(), "C3\n"); // reading does not take it out
    EXPECT_EQ(deleteCardRecord(id) + deleteCardRecord(id) + deleteCardRecord(9999), 0);
    ASSERT_EQ(push("D4"), 0);
    // Stored by someone else: cut to the field; a NULL number reads empty so
    // the row can still be taken out.
    ASSERT_EQ(sql("insert into card(cardNum) values(printf('%.300c', 'x')), (NULL);", CARD_DB), "");
    for (std::string want :
         {"'); drop table card;--", "%s%n", max.c_str(), "", "D4", cut.c_str(), ""}) {
        EXPECT_EQ(front(&id), want);
        EXPECT_EQ(deleteCardRecord(id), 0);
    }
    EXPECT_EQ(front(), "none");
    EXPECT_EQ(sql("select count(*) from card", CARD_DB), "0");

    unlink(CARD_DB); // failures: -1, rwlock free again (TearDown)
    EXPECT_EQ(push("0A1B2C3D\n") + deleteCardRecord(1), -2);
    EXPECT_EQ(front(), "none");
}

} // namespace
