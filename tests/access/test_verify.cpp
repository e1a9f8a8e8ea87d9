// The access service's certificate checked against /etc/gatewarden/ca.pem:
// a call is answered only over a chain from that CA naming the URL's host,
// and an http URL is not even sent while the file exists. Without it,
// nothing is verified.
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/protection.h"
#include "tests/access/gate_support.h"

TEST(Verify, OnlyTheProvisionedCaAndTheUrlsHostAreTrusted)
{
    std::string d = test_cert_dir();
    mkdir("/etc/gatewarden", 0755);
    ASSERT_EQ(system(("cd " + d +
                      " && m=" GW_SOURCE_DIR "/scripts/make-test-cert && $m --ca ca && "
                      "$m --ca other && $m --by ca good && $m --by ca --name other.test name && "
                      "$m --by ca --expired old")
                         .c_str()),
              0);
    std::string ca = d + "/ca/ca.pem", other = d + "/other/ca.pem", self = d;
    std::string good = d + "/good", name = d + "/name", old = d + "/old";
    const struct {
        std::string ca, cert, host; // ca: the file installed; cert "": plain http
        bool answered;
        const char *says;
    } cases[] = {
        {ca, good, "127.0.0.1", true, "GrantAccess successful\n"},
        {ca, good, "localhost", true, "GrantAccess successful\n"},
        {other, good, "127.0.0.1", false, "\nservice certificate refused: unknown issuer ("},
        {ca, self, "127.0.0.1", false, "\nservice certificate refused: unknown issuer ("},
        {ca, name, "127.0.0.1", false, "\nservice certificate refused: name mismatch ("},
        {ca, name, "localhost", false, "\nservice certificate refused: name mismatch ("},
        {ca, old, "127.0.0.1", false, "\nservice certificate refused: expired ("},
        {self + "/key.pem", good, "127.0.0.1", false, "Can't read CA"},
        {ca, "", "127.0.0.1", false, "GrantAccess failed: the service URL is not https while"},
        {"", "", "127.0.0.1", true, "GrantAccess successful\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ca + " " + c.cert + " " + c.host);
        unlink(PROTECT_CA_FILE);
        ASSERT_TRUE(c.ca.empty() || system(("cp " + c.ca + " " PROTECT_CA_FILE).c_str()) == 0);
        Service svc;
        std::string tls = " --tls --cert " + c.cert + "/cert.pem --key " + c.cert + "/key.pem";
        ASSERT_TRUE(svc.start("--grant-all" + (c.cert.empty() ? "" : tls), false));
        ASSERT_TRUE(store_url(svc.url.replace(svc.url.find("127.0.0.1"), 9, c.host)));
        slot_reset();
        GateRun run = run_gate("0A1B2C3D\n");
        EXPECT_EQ(run.rc, c.answered ? 0 : -1) << run.out << run.err;
        EXPECT_EQ(slot_text(), c.answered ? posted(3, 1) : SLOT_UNTOUCHED);
        EXPECT_EQ(svc.requests().size(), c.answered ? 1u : 0u);
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    }
    unlink(PROTECT_CA_FILE);
}
