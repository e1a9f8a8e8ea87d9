// HTTPS: a service with a self-signed certificate is accepted; handshake
// failures fail the call; a TLS set-up that fails ends the call before
// anything is sent.
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "settings/readerdb.h"
#include "tests/access/gate_support.h"

namespace
{

class Tls : public testing::Test
{
  protected:
    void SetUp() override
    {
        slot_reset();
        dir = test_cert_dir();
        ASSERT_FALSE(dir.empty());
    }
    std::vector<std::string> tls_args(const std::string &rule)
    {
        return {"--tls", "--cert", dir + "/cert.pem", "--key", dir + "/key.pem", rule};
    }
    std::string dir;
    Service svc;
};

TEST_F(Tls, SelfSignedServiceIsAccepted)
{
    ASSERT_TRUE(svc.start(tls_args("--grant-all")));
    ASSERT_EQ(svc.url.compare(0, 8, "https://"), 0);
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, 0) << run.err;
    EXPECT_NE(run.out.find("GrantAccess successful\nOpenRelay: true\nColor: 000000100\n"),
              std::string::npos);
    EXPECT_EQ(slot_state().opt, 151);
    EXPECT_EQ(slot_state().light, 3u);
    ASSERT_EQ(svc.requests().size(), 1u);
}

TEST_F(Tls, FaultsComeThroughTlsToo)
{
    ASSERT_TRUE(
        svc.start({"--tls", "--cert", dir + "/cert.pem", "--key", dir + "/key.pem", "--grant-all",
                   "--fault", "fault200,count=1", "--fault", "drop,count=1"}));
    // Both faults apply to the first request; the drop wins.
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, -1);
    run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, 0) << run.err;
}

// HTTPS to a plain service and HTTP to a TLS service: the handshake or the
// answer fails, the call reports it like any failed call.
TEST_F(Tls, SchemeMismatchFails)
{
    ASSERT_TRUE(svc.start({"--grant-all"}));
    std::string https = "https" + svc.url.substr(4);
    std::vector<char> text(https.begin(), https.end());
    text.push_back('\0');
    ASSERT_EQ(writeUrlConfig(text.data()), 0);
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, -1);
    EXPECT_NE(run.out.find("GrantAccess failed\n"), std::string::npos);
    EXPECT_EQ(slot_state().opt, 149);

    Service tls;
    ASSERT_TRUE(tls.start(tls_args("--grant-all")));
    std::string http = "http" + tls.url.substr(5);
    text.assign(http.begin(), http.end());
    text.push_back('\0');
    ASSERT_EQ(writeUrlConfig(text.data()), 0);
    run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, -1);
    EXPECT_NE(run.out.find("GrantAccess failed\n"), std::string::npos);
    EXPECT_EQ(slot_state().opt, 149);
}

// The TLS library, configured to load no algorithms at all, cannot make the
// client context: the fault report is printed, "GrantAccess failed" is not,
// and neither the separator line nor the request follows. OpenSSL reads its
// configuration once per process, so the call runs in a program of its own.
TEST_F(Tls, SetupFailureEndsTheCallBeforeSending)
{
    ASSERT_TRUE(svc.start({"--grant-all"}));
    std::string conf = dir + "/no-algorithms.cnf";
    std::ofstream(conf) << "openssl_conf = openssl_init\n[openssl_init]\nproviders = prov\n"
                           "[prov]\nnull = null_sect\n[null_sect]\nactivate = 1\n";
    setenv("OPENSSL_CONF", conf.c_str(), 1);
    Child once;
    bool started = once.start({gw_bin("test_access_gate_once"), "0A1B2C3D\n"}, true);
    unsetenv("OPENSSL_CONF");
    ASSERT_TRUE(started);
    int st = once.wait_exit(20000);
    once.drain();
    std::string out;
    for (const std::string &l : once.lines())
        out += l + "\n";
    ASSERT_TRUE(WIFEXITED(st)) << out;
    EXPECT_EQ(WEXITSTATUS(st), 1) << out; // accessGate returned -1
    EXPECT_NE(out.find("soap url:" + svc.url + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SSL/TLS error"), std::string::npos) << out;
    EXPECT_EQ(out.find("GrantAccess failed"), std::string::npos) << out;
    EXPECT_EQ(out.find("-----"), std::string::npos) << out;
    EXPECT_EQ(out.find("devID:"), std::string::npos) << out;
    EXPECT_TRUE(svc.requests().empty());
}

} // namespace
