// The reader settings database on its real path, /etc/reader.db, inside the
// board sandbox, checked against what a second connection sees.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <memory>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/slot.h"
#include "settings/readerdb.h"
#include "tests/settings/settings_files.h"

namespace
{

const char *const DB = "/etc/reader.db";
const char *const SCHEMA =
    "create table readerInfo(id INTEGER PRIMARY KEY, devAddr INTEGER, serverUrl TEXT);";
const std::string URL = "http://127.0.0.1:8080/ws/AccessGate";

std::string sql(const std::string &text)
{
    return sql_query(DB, text);
}

void make_db(const std::string &extra)
{
    unlink(DB);
    ASSERT_EQ(sql(extra), "");
}

struct Captured {
    int ret;
    std::string out;
};

template <typename F> Captured captured(F f)
{
    testing::internal::CaptureStdout();
    int ret = f();
    return {ret, testing::internal::GetCapturedStdout()};
}

class ReaderDb : public testing::Test
{
  protected:
    void SetUp() override
    {
        make_db(std::string(SCHEMA) + "insert into readerInfo values(1, 7, '" + URL + "');");
    }
    void TearDown() override { EXPECT_TRUE(rwlock_free()); }
};

TEST_F(ReaderDb, UrlIsStoredExactlyAndNothingElseChanges)
{
    const std::vector<std::string> urls = {
        "https://gate.example/ws/AccessGate?site='north'",
        "x'); drop table readerInfo; --",
        "' or 1=1; update readerInfo set devAddr=99; --",
        "%s%d%n\\\"",
        "http://\xc3\xbc.example/t\xc3\xbcr",
        "",
        std::string(READER_URL_MAX, 'u'),
    };
    for (const std::string &u : urls) {
        std::vector<char> in(u.begin(), u.end());
        in.push_back('\0');
        ASSERT_EQ(writeUrlConfig(in.data()), 0) << u;
        EXPECT_EQ(sql("select serverUrl from readerInfo where id=1"), u);

        std::vector<char> tcp(1024, 'Z'), client(READER_URL_MAX + 1, 'Z');
        int dev = -1;
        ASSERT_EQ(readUrlConfig(tcp.data()), 0);
        EXPECT_EQ(std::string(tcp.data()), u);
        ASSERT_EQ(read_DevAddr_Url_Config(&dev, client.data()), 0);
        EXPECT_EQ(std::string(client.data()), u);
        EXPECT_EQ(dev, 7);
    }
    EXPECT_EQ(sql("select count(*) from readerInfo"), "1");
    EXPECT_EQ(sql("select count(*) from sqlite_master"), "1");
}

TEST_F(ReaderDb, OverlongUrlIsRefusedAndReadsAreBounded)
{
    std::string u(READER_URL_MAX + 1, 'u');
    Captured c = captured([&] { return writeUrlConfig(&u[0]); });
    EXPECT_EQ(c.ret, -1);
    EXPECT_EQ(sql("select serverUrl from readerInfo"), URL);

    // Stored by someone else: each read copies only what its buffer holds.
    // Heap buffers of the exact size let AddressSanitizer see any overrun.
    ASSERT_EQ(sql("update readerInfo set serverUrl=printf('%.2000c', 'w')"), "");
    std::unique_ptr<char[]> tcp(new char[1024]), client(new char[READER_URL_MAX + 1]);
    int dev = 0;
    ASSERT_EQ(readUrlConfig(tcp.get()), 0);
    EXPECT_EQ(std::string(tcp.get()), std::string(1023, 'w'));
    ASSERT_EQ(read_DevAddr_Url_Config(&dev, client.get()), 0);
    EXPECT_EQ(std::string(client.get()), std::string(READER_URL_MAX, 'w'));
}

TEST_F(ReaderDb, DeviceAddress)
{
    const int values[] = {-42, INT_MIN, INT_MAX, 0, 12345};
    for (int v : values) {
        ASSERT_EQ(writeDevAddr(v), 0);
        EXPECT_EQ(sql("select devAddr from readerInfo"), std::to_string(v));
        int got = 1;
        ASSERT_EQ(readDevAddr(&got), 0);
        EXPECT_EQ(got, v);
    }
    EXPECT_EQ(sql("select serverUrl from readerInfo"), URL);

    // Stored texts read as atoi reads them.
    const std::pair<const char *, int> texts[] = {
        {"'abc'", 0}, {"'42abc'", 42}, {"' -17'", -17}, {"99999999999", INT_MAX}};
    for (const auto &t : texts) {
        sql(std::string("update readerInfo set devAddr=") + t.first);
        int got = 1;
        ASSERT_EQ(readDevAddr(&got), 0) << t.first;
        EXPECT_EQ(got, t.second) << t.first;
    }
}

// Every failure: -1, SQLite's message (for a failed statement), out-parameters
// as the caller left them, rwlock free again.
void expect_all_fail(const std::string &message, int write_ret)
{
    int dev = 4242;
    char url[1024];
    memset(url, 'Z', sizeof url);
    char before[1024];
    memcpy(before, url, sizeof url);
    char newurl[] = "http://new/";

    Captured c = captured([&] { return readDevAddr(&dev); });
    EXPECT_EQ(c.ret, -1);
    EXPECT_EQ(c.out, message);
    c = captured([&] { return readUrlConfig(url); });
    EXPECT_EQ(c.ret, -1);
    EXPECT_EQ(c.out, message);
    c = captured([&] { return read_DevAddr_Url_Config(&dev, url); });
    EXPECT_EQ(c.ret, -1);
    EXPECT_EQ(c.out, message);
    EXPECT_EQ(dev, 4242);
    EXPECT_EQ(memcmp(url, before, sizeof url), 0);
    EXPECT_TRUE(rwlock_free());

    c = captured([&] { return writeDevAddr(5); });
    EXPECT_EQ(c.ret, write_ret);
    c = captured([&] { return writeUrlConfig(newurl); });
    EXPECT_EQ(c.ret, write_ret);
    EXPECT_EQ(c.out, write_ret ? message : "");
    EXPECT_TRUE(rwlock_free());
}

TEST_F(ReaderDb, MissingFileTableRowOrValueFails)
{
    SCOPED_TRACE("missing file");
    unlink(DB);
    expect_all_fail("no such table: readerInfo\n", -1);
    EXPECT_TRUE(file_exists(DB)); // the open leaves an empty database behind

    SCOPED_TRACE("missing table");
    make_db("create table other(x);");
    expect_all_fail("no such table: readerInfo\n", -1);

    SCOPED_TRACE("not a database");
    unlink(DB);
    write_file(DB, std::string(4096, 'j'));
    expect_all_fail("file is not a database\n", -1);

    // No row 1: the reads fail without a message of their own, and the
    // writes succeed without storing anything.
    SCOPED_TRACE("missing row");
    make_db(std::string(SCHEMA) + "insert into readerInfo values(2, 8, 'http://two/');");
    expect_all_fail("", 0);
    EXPECT_EQ(sql("select count(*) from readerInfo"), "1");
    EXPECT_EQ(sql("select devAddr || serverUrl from readerInfo"), "8http://two/");

    SCOPED_TRACE("null values");
    make_db(std::string(SCHEMA) + "insert into readerInfo values(1, NULL, NULL);");
    expect_all_fail("", 0);
    ASSERT_EQ(sql("update readerInfo set devAddr=3, serverUrl=NULL"), "");
    int dev = 0;
    char url[1024] = "keep";
    EXPECT_EQ(readDevAddr(&dev), 0);
    EXPECT_EQ(dev, 3);
    EXPECT_EQ(readUrlConfig(url), -1);
    EXPECT_EQ(read_DevAddr_Url_Config(&dev, url), -1);
    EXPECT_STREQ(url, "keep");
}

// The URL statements share rwlock with the card queue: the reads shared, the
// write exclusive; the device address statements take no lock.
TEST_F(ReaderDb, LockModes)
{
    using namespace std::chrono_literals;
    ASSERT_EQ(pthread_rwlock_rdlock(&rwlock), 0);
    auto read_url = std::async(std::launch::async, [] {
        char url[1024];
        return readUrlConfig(url);
    });
    EXPECT_EQ(read_url.wait_for(5s), std::future_status::ready);
    char newurl[] = "http://after/";
    auto write_url = std::async(std::launch::async, [&] { return writeUrlConfig(newurl); });
    EXPECT_EQ(write_url.wait_for(150ms), std::future_status::timeout);
    pthread_rwlock_unlock(&rwlock);
    EXPECT_EQ(write_url.get(), 0);
    EXPECT_EQ(read_url.get(), 0);

    ASSERT_EQ(pthread_rwlock_wrlock(&rwlock), 0);
    auto dev = std::async(std::launch::async, [] {
        int d = 0;
        return readDevAddr(&d) == 0 && writeDevAddr(9) == 0 ? 0 : -1;
    });
    std::future_status st = dev.wait_for(5s);
    pthread_rwlock_unlock(&rwlock);
    EXPECT_EQ(st, std::future_status::ready);
    EXPECT_EQ(dev.get(), 0);
}

// Another connection holds the database for ~100 ms: the per-card read and
// the writes wait for it instead of failing busy.
TEST_F(ReaderDb, WaitsForAnotherConnectionsLock)
{
    const char *holds[] = {"begin exclusive; update readerInfo set devAddr=11;",
                           "begin; select count(*) from readerInfo;"};
    for (const char *hold : holds) {
        SCOPED_TRACE(hold);
        std::promise<void> held;
        std::thread holder([&] {
            sqlite3 *db;
            sqlite3_open(DB, &db);
            EXPECT_EQ(sqlite3_exec(db, hold, nullptr, nullptr, nullptr), SQLITE_OK);
            held.set_value();
            usleep(100 * 1000);
            EXPECT_EQ(sqlite3_exec(db, "commit", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        });
        held.get_future().wait();
        int dev = -1;
        char url[READER_URL_MAX + 1];
        Captured c = captured([&] { return read_DevAddr_Url_Config(&dev, url); });
        EXPECT_EQ(c.ret, 0) << c.out;
        c = captured([&] { return writeDevAddr(12); });
        EXPECT_EQ(c.ret, 0) << c.out;
        holder.join();
        EXPECT_EQ(sql("select devAddr from readerInfo"), "12");
    }
}

} // namespace
