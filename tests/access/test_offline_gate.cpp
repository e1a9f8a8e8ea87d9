// Offline grace behind the real access gate client: every kind of call
// that gives no decision posts the remembered output; a decision of the
// service, granted or refused, wins over the store. Reads /etc/reader.db
// and /etc/gatewarden: inside the board sandbox only.
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

#include "access/accessGateClient.h"
#include "access/offline_grace.h"
#include "core/slot.h"
#include "settings/protection.h"
#include "settings/readerdb.h"
#include "tools/support/support.h"

namespace
{

// accessGate for card against a service with args ("" none: a closed
// port), reached at url (PORT: its port); the output posted, "" when none.
std::string gate(const std::string &args, std::string url = "http://127.0.0.1:PORT/ws")
{
    static TempDir certs("gw-offline-cert");
    static bool made = system(("cd " + certs.path +
                               " && " GW_SOURCE_DIR "/scripts/make-test-cert . && " GW_SOURCE_DIR
                               "/scripts/make-test-cert --ca other")
                                  .c_str()) == 0;
    Child svc;
    std::vector<std::string> argv = {gw_bin("gatewarden-servicesim"), "--port", "0"};
    std::istringstream in(
        args + (args.find("--tls") != std::string::npos
                    ? " --cert " + certs.path + "/cert.pem --key " + certs.path + "/key.pem"
                    : ""));
    for (std::string w; in >> w;)
        argv.push_back(w);
    std::string line = "listening http://127.0.0.1:1/";
    EXPECT_TRUE(made &&
                (args.empty() || (svc.start(argv) && svc.wait_for("listening ", 10000, &line))));
    url.replace(url.find("PORT"), 4,
                std::to_string(atoi(line.substr(line.rfind(':') + 1).c_str())));
    EXPECT_EQ(writeUrlConfig(&url[0]), 0);
    unlink(PROTECT_CA_FILE);
    EXPECT_TRUE(url.find("https") != 0 || system(("mkdir -p /etc/gatewarden && cp " + certs.path +
                                                  "/other/ca.pem " PROTECT_CA_FILE)
                                                     .c_str()) == 0);
    pthread_mutex_lock(&mutex);
    opt = SLOT_IDLE;
    pthread_mutex_unlock(&mutex);
    std::string card = "0A1B2C3D\n";
    accessGate(&card[0]);
    unlink(PROTECT_CA_FILE);
    slot_cmd c;
    return slot_take(&c) == SLOT_DEVICE
               ? "light=" + std::to_string(c.args.light) + " relay=" + std::to_string(c.args.relay)
               : "";
}

} // namespace

TEST(OfflineGate, NoDecisionUsesTheStoreAndADecisionWins)
{
    slot_init();
    TempDir dir("gw-offline");
    ASSERT_TRUE(write_file(dir.path + "/conf", "8h\n"));
    ASSERT_EQ(offline_grace_start((dir.path + "/conf").c_str(), (dir.path + "/db").c_str()),
              8 * 3600);
    const struct {
        const char *args, *url, *out;
    } cases[] = {
        {"--card 0A1B2C3D=1,000000100", nullptr, "light=3 relay=1"}, // granted: remembered
        {"--deny-all --fault fault500", nullptr, "light=3 relay=1"},
        {"--deny-all --fault fault200", nullptr, "light=3 relay=1"},
        {"--deny-all --fault http=404", nullptr, "light=3 relay=1"},
        {"--deny-all --fault drop", nullptr, "light=3 relay=1"},
        {"--deny-all --fault delay=2600", nullptr, "light=3 relay=1"}, // receive time-out
        {"", nullptr, "light=3 relay=1"},                              // no connection
        {"--deny-all", "http://gw-no-such-host.invalid:PORT/ws", "light=3 relay=1"},
        {"--deny-all", "https://127.0.0.1:PORT/ws", "light=3 relay=1"},       // no TLS there
        {"--deny-all --tls", "https://127.0.0.1:PORT/ws", "light=3 relay=1"}, // unknown issuer
        {"--card 0A1B2C3D=1,000000010", nullptr, "light=2 relay=1"},          // the service wins
        {"--card 0A1B2C3D=0,000000001", nullptr, "light=1 relay=0"},          // refused: forgotten
        {"--deny-all --fault fault500", nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.args) + " " + (c.url ? c.url : ""));
        EXPECT_EQ(gate(c.args, c.url ? c.url : "http://127.0.0.1:PORT/ws"), c.out);
    }
    offline_grace_stop();
}
