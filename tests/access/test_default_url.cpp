// When /etc/reader.db cannot be read the call goes to the built-in HTTPS URL
// with device address 0.
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "access/access_config.h"
#include "settings/readerdb.h"
#include "tests/access/gate_support.h"

namespace
{

bool db_exec(const char *sql)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open("/etc/reader.db", &db) == SQLITE_OK &&
              sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// The table under another name while a test runs: every read fails.
class DefaultUrl : public testing::Test
{
  protected:
    void SetUp() override
    {
        slot_reset();
        ASSERT_EQ(writeDevAddr(9), 0);
        ASSERT_TRUE(db_exec("alter table readerInfo rename to readerInfoAway"));
        std::ifstream in("/etc/hosts");
        hosts.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void TearDown() override
    {
        EXPECT_TRUE(db_exec("alter table readerInfoAway rename to readerInfo"));
        std::ofstream("/etc/hosts") << hosts; // the sandbox's own /etc
    }
    std::string hosts;
};

// The sandbox has no network and no name server: the default host is not
// found, and at once.
TEST_F(DefaultUrl, UnreadableSettingsUseTheDefaultUrl)
{
    GateRun run = run_gate("0A1B2C3D\n");
    // The settings store's own message comes first.
    EXPECT_NE(run.out.find("\nsoap url:" ACCESS_DEFAULT_URL "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("devID:0, Passnumber:0A1B2C3D\n\nGrantAccess failed\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.rc, -1);
    EXPECT_LT(run.ms, 3000);
    EXPECT_EQ(slot_state().opt, 149);
}

// With the default host named in the sandbox's /etc/hosts, the request
// reaches a TLS service on the default HTTPS port with device address 0.
TEST_F(DefaultUrl, DefaultUrlIsHttpsOnTheDefaultPortWithDeviceZero)
{
    std::string dir = test_cert_dir();
    ASSERT_FALSE(dir.empty());
    std::string host = ACCESS_DEFAULT_URL;
    host = host.substr(8, host.find('/', 8) - 8);
    std::ofstream("/etc/hosts", std::ios::app) << "127.0.0.1 " << host << "\n";
    Service svc;
    ASSERT_TRUE(svc.start({"--port", "443", "--tls", "--cert", dir + "/cert.pem", "--key",
                           dir + "/key.pem", "--grant-all"},
                          false));
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, 0) << run.out << run.err;
    std::vector<std::string> req = svc.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].rfind("request dev=0 card=0A1B2C3D\\n decision=grant", 0), 0u) << req[0];
    EXPECT_EQ(slot_state().opt, 151);
}

} // namespace
