// gatewarden-provision on a scratch root: what a fresh device gets, and that
// existing data is completed, never overwritten.
#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

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

// A fresh root is what every sandboxed test starts from; here: the values
// given replace the stored ones (and say so), the rest is kept, then completed.
TEST_F(Provision, GivenValuesWrittenTheRestKeptThenCompleted)
{
    mkdir(etc.c_str(), 0755);
    write_file(etc + "/machine-id", "0123456789abcdef0123456789abcdef\n");
    ASSERT_EQ(provision({}), 0);
    EXPECT_EQ(read_file(etc + "/eth0-setting"), "IP=192.0.2.10\nMask=255.255.255.0\n"
                                                "Gateway=192.0.2.1\nDNS=192.0.2.1\n"
                                                "MAC=02:01:23:45:67:89\n");
    ASSERT_EQ(provision({"--devaddr", "5", "--ip=198.51.100.7"}), 0);
    EXPECT_EQ(lines[0], "changed " + etc + "/reader.db: row 1: devAddr 5; kept: serverUrl");
    EXPECT_EQ(lines[2],
              "changed " + etc +
                  "/eth0-setting: IP=198.51.100.7; kept: "
                  "Mask=255.255.255.0 Gateway=192.0.2.1 DNS=192.0.2.1 MAC=02:01:23:45:67:89");
    EXPECT_EQ(sql("reader.db", "select * from readerInfo"),
              "1|5|http://127.0.0.1:8080/ws/AccessGate");
    const std::string setting = read_file(etc + "/eth0-setting");
    ASSERT_EQ(provision({"--ip", "198.51.100.7", "--devaddr", "5"}), 0); // a repeat: kept
    EXPECT_EQ(lines[0], "kept " + etc + "/reader.db");
    EXPECT_EQ(lines[2].compare(0, 5, "kept "), 0) << lines[2];
    EXPECT_EQ(read_file(etc + "/eth0-setting"), setting);

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
    std::remove((etc + "/eth0-setting").c_str());
    std::remove((etc + "/machine-id").c_str());
    ASSERT_EQ(provision({}), 0); // no machine-id: a random local address, not a constant
    std::string mac = read_file(etc + "/eth0-setting");
    mac = mac.substr(mac.find("MAC="));
    EXPECT_TRUE(mac.rfind("MAC=02:", 0) == 0 && mac != "MAC=02:00:c0:00:02:0a\n") << mac;
    ASSERT_EQ(system((GW_SOURCE_DIR "/scripts/make-test-cert --ca " + root.path + "/ca").c_str()),
              0);
    // An http URL the controller would refuse under a CA file: refused, nothing written.
    const std::string stored = sql("reader.db", "select * from readerInfo");
    ASSERT_EQ(provision({"--url", "http://h/x", "--ca", root.path + "/ca/ca.pem"}), 2);
    EXPECT_FALSE(file_exists(etc + "/gatewarden/ca.pem"));
    ASSERT_EQ(provision({"--manage-allow", "192.0.2.7,198.51.100.0/24", "--ca",
                         root.path + "/ca/ca.pem"}),
              0);
    EXPECT_EQ(provision({"--url", "HTTP://h/x"}), 2); // ca.pem present
    EXPECT_NE(lines[0].find("--url must be https://"), std::string::npos) << lines[0];
    EXPECT_EQ(sql("reader.db", "select * from readerInfo"), stored);
    ASSERT_EQ(provision({"--url", "HTTPS://h/x"}), 0);
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
             "--bogus", "-x", "--manage-allow 192.0.2.1/33", "--ca /dev/null", "--root",
             "--devaddr 2147483648", "--mask 255.255.255.0\nX=1",
             "--url http://" + std::string(249, 'u'), "--url ftp://h/x", "--url http://h/\tx",
             "--url https://", "--offline-grace 73h", "--offline-grace"}) {
        std::vector<std::string> args;
        std::istringstream words(row);
        for (std::string w; std::getline(words, w, ' ');)
            args.push_back(w);
        EXPECT_EQ(provision(args), 2) << row.substr(0, 40);
        if (args.back() == "--bogus" || args.back() == "-x") {
            EXPECT_EQ(lines[0], "gatewarden-provision: unknown option '" + args.back() + "'");
        }
    }
    EXPECT_FALSE(file_exists(etc));
    EXPECT_EQ(provision({"--root", root.path + "/none"}, false), 1);
    EXPECT_FALSE(file_exists(root.path + "/none"));
}

} // namespace
