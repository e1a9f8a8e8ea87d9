// gatewarden-provision on a scratch root: what a fresh device gets, and that
// existing data is completed, never overwritten.
#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>

#include "tests/sql.h"
#include "tools/support/support.h"

namespace
{

class Provision : public testing::Test
{
  protected:
    TempDir root{"gw-provision"};
    std::string etc = root.path + "/etc";
    std::vector<std::string> lines;

    // Exit status; the output lines in lines.
    int provision(std::vector<std::string> args, bool with_root = true)
    {
        if (with_root)
            args.insert(args.begin(), {"--root", root.path});
        args.insert(args.begin(), gw_bin("gatewarden-provision"));
        Child c;
        EXPECT_TRUE(c.start(args));
        int st = c.finish(30000);
        lines = c.lines();
        return st;
    }
    std::string sql(const char *db, const std::string &q) { return sql_query(etc + "/" + db, q); }
};

// A fresh root is what every sandboxed test starts from; here: kept, then completed.
TEST_F(Provision, ExistingDataKeptThenCompleted)
{
    ASSERT_EQ(provision({}), 0);
    const std::string setting = read_file(etc + "/eth0-setting");
    ASSERT_EQ(provision({"--devaddr", "5", "--ip", "198.51.100.7"}), 0);
    for (const std::string &l : lines)
        EXPECT_EQ(l.compare(0, 5, "kept "), 0) << l;
    EXPECT_EQ(read_file(etc + "/eth0-setting"), setting);
    EXPECT_EQ(sql("reader.db", "select * from readerInfo"),
              "1|0|http://127.0.0.1:8080/ws/AccessGate");

    ASSERT_EQ(sql("reader.db", "delete from readerInfo; insert into readerInfo values(2, 8, 'k')"),
              "");
    ASSERT_EQ(sql("card.db", "drop table card; create table other(x); insert into other values(1)"),
              "");
    std::remove((etc + "/eth0-setting").c_str());
    ASSERT_EQ(provision({"--devaddr", "-3", "--url", "http://h/'q'", "--ip", "198.51.100.7",
                         "--mask", "255.255.0.0", "--gateway", "198.51.100.1", "--dns",
                         "198.51.100.53", "--mac", "02:AB:cd:00:11:22"}),
              0);
    EXPECT_EQ(sql("card.db", "select count(*) from card"), "0");
    EXPECT_EQ(sql("reader.db", "select * from readerInfo order by id"), "1|-3|http://h/'q'|2|8|k");
    EXPECT_EQ(sql("card.db", "select x from other"), "1");
    EXPECT_EQ(read_file(etc + "/eth0-setting"), "IP=198.51.100.7\nMask=255.255.0.0\n"
                                                "Gateway=198.51.100.1\nDNS=198.51.100.53\n"
                                                "MAC=02:AB:cd:00:11:22\n");
    ASSERT_EQ(system((GW_SOURCE_DIR "/scripts/make-test-cert --ca " + root.path + "/ca").c_str()),
              0);
    ASSERT_EQ(provision({"--manage-allow", "192.0.2.7,198.51.100.0/24", "--ca",
                         root.path + "/ca/ca.pem"}),
              0);
    EXPECT_EQ(read_file(etc + "/gatewarden/ca.pem"), read_file(root.path + "/ca/ca.pem"));
    EXPECT_EQ(read_file(etc + "/gatewarden/manage-allow"),
              "# IPv4 addresses and prefixes that may manage this controller\n192.0.2.7\n"
              "198.51.100.0/24\n");

    // Not a database: left alone, exit 1, the others are still made.
    write_file(etc + "/reader.db", std::string(3000, 'j'));
    std::remove((etc + "/card.db").c_str());
    EXPECT_EQ(provision({}), 1);
    EXPECT_EQ(read_file(etc + "/reader.db"), std::string(3000, 'j'));
    EXPECT_TRUE(file_exists(etc + "/card.db"));
}

TEST_F(Provision, BadUsageWritesNothing)
{
    for (const std::string &row : std::vector<std::string>{
             "--bogus", "--manage-allow 192.0.2.1/33", "--ca /dev/null", "--root",
             "--devaddr 2147483648", "--mask 255.255.255.0\nX=1", "--url " + std::string(256, 'u'),
             "--offline-grace 73h", "--offline-grace"}) {
        std::vector<std::string> args;
        std::istringstream words(row);
        for (std::string w; std::getline(words, w, ' ');)
            args.push_back(w);
        EXPECT_EQ(provision(args), 2) << row.substr(0, 40);
        EXPECT_TRUE(args.back() != "--bogus" || lines[0] == "gatewarden-provision: unknown option "
                                                            "'--bogus'");
    }
    EXPECT_FALSE(file_exists(etc));
    EXPECT_EQ(provision({"--root", root.path + "/none"}, false), 1);
    EXPECT_FALSE(file_exists(root.path + "/none"));
}

} // namespace
