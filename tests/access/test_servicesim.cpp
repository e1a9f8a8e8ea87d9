// The access service simulator on its own, spoken to with the generated
// client call: rules, log lines, fault counts, bad command lines, and
// clients that misbehave.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "soapH.h"
#include "tests/access/gate_support.h"

namespace
{

struct Reply {
    int rc;
    bool relay;
    std::string color;
};

Reply grant_access(const std::string &url, long long dev, const std::string &card)
{
    Reply r = {0, false, "<none>"};
    struct soap *ctx = soap_new1(SOAP_C_UTFSTRING);
    soap_set_namespaces(ctx, namespaces);
    ctx->socket_flags = MSG_NOSIGNAL;
    ctx->recv_timeout = 5;
    if (url.compare(0, 6, "https:") == 0)
        soap_ssl_client_context(ctx, SOAP_SSL_NO_AUTHENTICATION, nullptr, nullptr, nullptr, nullptr,
                                nullptr);
    std::vector<char> text(card.begin(), card.end());
    text.push_back('\0');
    _ns1__GrantAccess req;
    req.Device.DeviceId = dev;
    req.Device.In = true;
    req.Device.Passnumber = text.data();
    _ns1__GrantAccessResponse resp;
    r.rc = soap_call___ns1__GrantAccess(ctx, url.c_str(), nullptr, &req, resp);
    if (r.rc == SOAP_OK) {
        r.relay = resp.AccessGranted.OpenRelay;
        r.color = resp.AccessGranted.Color ? resp.AccessGranted.Color : "<none>";
    }
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx);
    return r;
}

class Sim : public testing::Test
{
  protected:
    bool start(const std::vector<std::string> &args) { return svc.start(args, false); }
    Service svc;
};

TEST_F(Sim, RulesDecideAndEveryRequestIsLogged)
{
    std::string rules = test_cert_dir() + "/rules";
    std::ofstream(rules) << "# card relay color\n\n0A1B2C3D 1 000000100\n"
                            "default 0 000000011\nBEEF 1 000000111\n";
    ASSERT_TRUE(start({"--rules", rules, "--card", "BEEF=0,000000001", "--card", "CAFE=1,"}));
    struct {
        long long dev;
        const char *card;
        bool relay;
        const char *color;
        const char *log;
    } cases[] = {
        {0, "0A1B2C3D\n", true, "000000100",
         "request dev=0 card=0A1B2C3D\\n decision=grant relay=1 color=000000100"},
        // --card after --rules replaces the file's rule.
        {-5, "BEEF\n", false, "000000001",
         "request dev=-5 card=BEEF\\n decision=deny relay=0 color=000000001"},
        {7, "FFFF\n", false, "000000011",
         "request dev=7 card=FFFF\\n decision=unknown relay=0 color=000000011"},
        // Without the line feed the rule still applies.
        {1, "0A1B2C3D", true, "000000100",
         "request dev=1 card=0A1B2C3D decision=grant relay=1 color=000000100"},
        {2, "CAFE\n", true, "", "request dev=2 card=CAFE\\n decision=grant relay=1 color="},
        {3, "A\r\x01\n", false, "000000011",
         "request dev=3 card=A\\r\\x01\\n decision=unknown relay=0 color=000000011"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.card);
        Reply r = grant_access(svc.url, c.dev, c.card);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.relay, c.relay);
        EXPECT_EQ(r.color, c.color);
    }
    std::vector<std::string> log = svc.requests();
    ASSERT_EQ(log.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < log.size(); i++)
        EXPECT_EQ(log[i], cases[i].log);
    for (const std::string &l : svc.child.lines()) {
        if (l.find(" request ") != std::string::npos) {
            double t = -1;
            EXPECT_EQ(sscanf(l.c_str(), "t=%lf request", &t), 1) << l;
            EXPECT_EQ(l.find(' '), l.find('.') + 4) << l; // three decimals
        }
    }
}

TEST_F(Sim, GrantAllYieldsToCardRulesAndDefaultIsDeny)
{
    ASSERT_TRUE(start({"--grant-all", "--card", "0BAD=0,000000001"}));
    EXPECT_TRUE(grant_access(svc.url, 0, "1234\n").relay);
    EXPECT_FALSE(grant_access(svc.url, 0, "0BAD\n").relay);
    Service plain;
    ASSERT_TRUE(plain.start({}, false));
    Reply r = grant_access(plain.url, 0, "1234\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(r.relay);
    EXPECT_EQ(r.color, "000000001");
    std::vector<std::string> log = plain.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("decision=unknown relay=0 color=000000001"), std::string::npos);
}

TEST_F(Sim, FaultCountsRunDown)
{
    ASSERT_TRUE(
        start({"--grant-all", "--fault", "http=503,count=2", "--fault", "nocolor,count=1"}));
    EXPECT_EQ(grant_access(svc.url, 0, "1\n").rc, 503);
    EXPECT_EQ(grant_access(svc.url, 0, "2\n").rc, 503);
    Reply r = grant_access(svc.url, 0, "3\n");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.color, "000000100");
    std::vector<std::string> log = svc.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "request dev=0 card=1\\n fault=http,nocolor");
    EXPECT_EQ(log[1], "request dev=0 card=2\\n fault=http");
    EXPECT_EQ(log[2], "request dev=0 card=3\\n decision=grant relay=1 color=000000100");
}

TEST_F(Sim, BadCommandLinesAreRefused)
{
    std::vector<std::vector<std::string>> bad = {
        {"--card", "0A1B"},
        {"--card", "0A1B=2,000"},
        {"--card", "=1,000"},
        {"--fault", "bogus"},
        {"--fault", "delay"},
        {"--fault", "drop=1"},
        {"--fault", "http=99"},
        {"--fault", "drop,count=0"},
        {"--fault", "delay=-1"},
        {"--tls"},
        {"--tls", "--cert", "c"},
        {"--grant-all", "--deny-all"},
        {"--rules", "/nonexistent"},
        {"--port", "65536"},
        {"--port", "x"},
        {"stray"},
        {"--no-such-option"},
    };
    for (const auto &args : bad) {
        SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
        Child c;
        std::vector<std::string> argv = {gw_bin("gatewarden-servicesim")};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_TRUE(c.start(argv));
        int st = c.wait_exit(10000);
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), 2);
    }
    Child help;
    ASSERT_TRUE(help.start({gw_bin("gatewarden-servicesim"), "--help"}));
    std::string line;
    ASSERT_TRUE(help.read_line(line, 10000));
    EXPECT_EQ(line.compare(0, 29, "usage: gatewarden-servicesim "), 0);
    int st = help.wait_exit(10000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

int connect_to(const std::string &url)
{
    int port = atoi(url.c_str() + url.rfind(':') + 1);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Clients that vanish, send rubbish or time out do not end the service.
TEST_F(Sim, OutlivesMisbehavingClients)
{
    std::string dir = test_cert_dir();
    Service tls;
    ASSERT_TRUE(tls.start(
        {"--tls", "--cert", dir + "/cert.pem", "--key", dir + "/key.pem", "--grant-all"}, false));
    ASSERT_TRUE(start({"--grant-all", "--fault", "delay=1500,count=1"}));
    for (const std::string &url : {svc.url, tls.url}) {
        SCOPED_TRACE(url);
        int fd = connect_to(url);
        ASSERT_GE(fd, 0);
        close(fd); // gone at once
        fd = connect_to(url);
        const char junk[] = "POST / HTTP/1.1\r\nContent-Length: 500\r\n\r\n<half";
        send(fd, junk, sizeof junk - 1, MSG_NOSIGNAL);
        close(fd); // gone halfway
        fd = connect_to(url);
        send(fd, "\x16\x03\x01garbage\r\n\r\n", 14, MSG_NOSIGNAL);
        close(fd);
    }
    // Gone before the delayed answer is written.
    soap *ctx = soap_new();
    soap_set_namespaces(ctx, namespaces);
    ctx->recv_timeout = -300000;
    char card[] = "1\n";
    _ns1__GrantAccess req;
    req.Device.Passnumber = card;
    _ns1__GrantAccessResponse resp;
    EXPECT_NE(soap_call___ns1__GrantAccess(ctx, svc.url.c_str(), nullptr, &req, resp), SOAP_OK);
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx);

    EXPECT_EQ(grant_access(svc.url, 0, "2\n").rc, 0);
    EXPECT_EQ(grant_access(tls.url, 0, "2\n").rc, 0);
    EXPECT_TRUE(svc.child.running());
    EXPECT_EQ(svc.child.wait_exit(0), -1);
    EXPECT_EQ(tls.child.wait_exit(0), -1);
}

} // namespace
