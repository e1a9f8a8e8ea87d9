// gatewarden-provision on a scratch root: what a fresh device gets, and that
// existing data is completed, never overwritten.
#include <cstdlib>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "tests/settings/settings_files.h"
#include "tests/support/process.h"

namespace
{

struct Outcome {
    int status = -1;
    std::vector<std::string> lines;
};

Outcome provision(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-provision")};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c;
    EXPECT_TRUE(c.start(argv));
    std::string line;
    while (c.read_line(line, 30000)) {
    }
    int st = c.wait_exit(5000);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, c.lines()};
}

class Provision : public testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/gw-provision-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        etc = root + "/etc";
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + root + "'").c_str()), 0); }
    std::string root, etc;
};

TEST_F(Provision, FreshRootThenKeepsEverything)
{
    Outcome r = provision({"--root", root});
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0], "created " + etc +
                              "/reader.db: table readerInfo, row 1 (devAddr 0, "
                              "serverUrl http://127.0.0.1:8080/ws/AccessGate)");
    EXPECT_EQ(r.lines[1], "created " + etc + "/card.db: table card");
    EXPECT_EQ(r.lines[2], "created " + etc + "/eth0-setting");
    EXPECT_EQ(read_file(etc + "/eth0-setting"), "IP=192.0.2.10\nMask=255.255.255.0\n"
                                                "Gateway=192.0.2.1\nDNS=192.0.2.1\n"
                                                "MAC=02:00:c0:00:02:0a\n");
    EXPECT_EQ(sql_query(etc + "/reader.db", "select * from readerInfo"),
              "1|0|http://127.0.0.1:8080/ws/AccessGate");
    EXPECT_EQ(sql_query(etc + "/card.db", "select count(*) from card"), "0");

    std::string setting = read_file(etc + "/eth0-setting");
    r = provision({"--root", root, "--devaddr", "5", "--ip", "198.51.100.7"});
    ASSERT_EQ(r.status, 0);
    for (const std::string &l : r.lines)
        EXPECT_EQ(l.compare(0, 5, "kept "), 0) << l;
    EXPECT_EQ(read_file(etc + "/eth0-setting"), setting);
    EXPECT_EQ(sql_query(etc + "/reader.db", "select devAddr from readerInfo"), "0");
    EXPECT_EQ(count_entries(etc, "eth0-setting."), 0);
}

TEST_F(Provision, OptionsAndCompletingExistingFiles)
{
    ASSERT_EQ(provision({"--root", root}).status, 0);
    ASSERT_EQ(sql_query(etc + "/reader.db", "delete from readerInfo; insert into readerInfo "
                                            "values(2, 8, 'keep')"),
              "");
    ASSERT_EQ(sql_query(etc + "/card.db", "drop table card; create table other(x);"
                                          "insert into other values('mine')"),
              "");
    std::remove((etc + "/eth0-setting").c_str());

    Outcome r = provision({"--root", root, "--devaddr", "-3", "--url", "http://h/'q'", "--ip",
                           "198.51.100.7", "--mask", "255.255.0.0", "--gateway", "198.51.100.1",
                           "--dns", "198.51.100.53", "--mac", "02:AB:cd:00:11:22"});
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0],
              "added to " + etc + "/reader.db: row 1 (devAddr -3, serverUrl http://h/'q')");
    EXPECT_EQ(r.lines[1], "added to " + etc + "/card.db: table card");
    EXPECT_EQ(sql_query(etc + "/reader.db", "select * from readerInfo order by id"),
              "1|-3|http://h/'q'|2|8|keep");
    EXPECT_EQ(sql_query(etc + "/card.db", "select x from other"), "mine");
    EXPECT_EQ(read_file(etc + "/eth0-setting"), "IP=198.51.100.7\nMask=255.255.0.0\n"
                                                "Gateway=198.51.100.1\nDNS=198.51.100.53\n"
                                                "MAC=02:AB:cd:00:11:22\n");
}

TEST_F(Provision, NotADatabaseIsLeftAlone)
{
    ASSERT_EQ(system(("mkdir -p '" + etc + "'").c_str()), 0);
    const std::string junk(3000, 'j');
    write_file(etc + "/reader.db", junk);
    Outcome r = provision({"--root", root});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(etc + "/reader.db"), junk);
    EXPECT_TRUE(file_exists(etc + "/card.db")); // the others are still made
    EXPECT_TRUE(file_exists(etc + "/eth0-setting"));
}

TEST_F(Provision, BadUsage)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus", "1"},
        {"--root"},
        {"--devaddr", "x"},
        {"--devaddr", "2147483648"},
        {"--ip", "192.0.2"},
        {"--mask", "255.255.255.0\nX=1"},
        {"--mac", "02:00:00"},
        {"--mac", "02:00:00:00:00:0g"},
        {"--url", std::string(256, 'u')},
    };
    for (auto args : bad) {
        args.insert(args.begin(), {"--root", root});
        EXPECT_EQ(provision(args).status, 2) << args[2];
    }
    EXPECT_FALSE(file_exists(etc));
    EXPECT_EQ(provision({"--help"}).status, 0);
}

} // namespace
