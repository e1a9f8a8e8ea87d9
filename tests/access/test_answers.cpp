// accessGate against the access service simulator: what it prints, posts
// and sends, how long it waits, and how its failures look.
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

class Answers : public testing::Test
{
  protected:
    void SetUp() override
    {
        slot_reset();
        ASSERT_EQ(writeDevAddr(0), 0);
    }
    Service svc;
};

} // namespace

// One self-signed TLS service with rules (--card after --rules replaces the
// file's rule): every answer is printed exactly, posted, and logged by the
// service with control bytes escaped. A connection dropped inside TLS fails
// the call and ends nothing (SIGPIPE has its default action in this
// program); an overlong card number is refused before anything is sent.
TEST_F(Answers, AnswersArePrintedPostedAndLogged)
{
    std::string rules = test_cert_dir() + "/rules";
    std::ofstream(rules) << "# card relay color\n\n0A1B2C3D 1 000000100\n"
                            "default 0 000000011\nBEEF 1 000000111\n";
    ASSERT_TRUE(svc.start("--tls --fault drop,count=1 --rules " + rules +
                          " --card BEEF=0,000000001 --card CAFE=1,"));
    ASSERT_EQ(svc.url.compare(0, 8, "https://"), 0);
    expect_failed(run_gate("0A1B2C3D\n"));
    const std::string card31(31, '7');
    const struct {
        int dev;
        std::string card, logged;
        const char *color;
        unsigned light;
    } cases[] = {
        {7, "0A1B2C3D\n", "0A1B2C3D\\n decision=grant relay=1", "000000100", 3},
        {-5, "BEEF\n", "BEEF\\n decision=deny relay=0", "000000001", 1},
        {0, "0A1B2C3D", "0A1B2C3D decision=grant relay=1", "000000100", 3},
        {2, "CAFE\n", "CAFE\\n decision=grant relay=1", "", 0},
        {3, "A\r\x01\n", "A\\r\\x01\\n decision=unknown relay=0", "000000011", 0},
        {1, card31, card31 + " decision=unknown relay=0", "000000011", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logged);
        ASSERT_EQ(writeDevAddr(c.dev), 0);
        slot_reset();
        GateRun run = run_gate(c.card);
        bool relay = c.logged.back() == '1';
        EXPECT_EQ(run.out,
                  "soap url:" + svc.url + "\n-------------------------------------\ndevID:" +
                      std::to_string(c.dev) + ", Passnumber:" + c.card +
                      "\nGrantAccess successful\nOpenRelay: " + (relay ? "true" : "false") +
                      "\nColor: " + c.color + "\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(slot_text(), posted(c.light, relay));
    }
    slot_reset();
    EXPECT_EQ(run_gate(card31 + "7").rc, -1);
    EXPECT_EQ(slot_text(), SLOT_UNTOUCHED);
    std::vector<std::string> log = svc.requests();
    ASSERT_EQ(log.size(), 1 + sizeof cases / sizeof cases[0]);
    EXPECT_EQ(log[0], "request dev=0 card=0A1B2C3D\\n fault=drop");
    for (size_t i = 1; i < log.size(); i++)
        EXPECT_EQ(log[i], "request dev=" + std::to_string(cases[i - 1].dev) +
                              " card=" + cases[i - 1].logged + " color=" + cases[i - 1].color);
}

// Each wait for data is two seconds: a service that answers after two and a
// half fails the call after about two. The service survives that client,
// and clients that vanish or send rubbish, plain or TLS. Nobody listening
// fails the call at once.
TEST_F(Answers, SlowGoneOrAbsentService)
{
    Service tls;
    ASSERT_TRUE(tls.start("--tls --grant-all", false));
    ASSERT_TRUE(svc.start("--grant-all --fault delay=2500,count=1"));
    for (Service *s : {&svc, &tls}) {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(atoi(s->url.c_str() + s->url.rfind(':') + 1)));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (std::string junk : {"", "POST / HTTP/1.1\r\nContent-Length: 500\r\n\r\n<half",
                                 "\x16\x03\x01garbage\r\n\r\n"}) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << s->url;
            send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
            close(fd);
        }
    }
    GateRun run = run_gate("0A1B2C3D\n");
    expect_failed(run);
    EXPECT_GE(run.ms, 1500);
    EXPECT_EQ(run_gate("0A1B2C3D\n").rc, 0);
    ASSERT_TRUE(store_url(tls.url));
    EXPECT_EQ(run_gate("0A1B2C3D\n").rc, 0);

    svc.child.stop(SIGTERM);
    ASSERT_TRUE(store_url(svc.url));
    slot_reset();
    run = run_gate("0A1B2C3D\n");
    expect_failed(run);
    EXPECT_LT(run.ms, 1500);
    EXPECT_EQ(tls.child.wait_exit(0), -1);
}

TEST_F(Answers, SimulatorRefusesBadCommandLines)
{
    for (const char *line :
         {"--card 0A1B", "--card 0A1B=2,000", "--card =1,000", "--fault bogus", "--fault delay",
          "--fault drop=1", "--fault http=99", "--fault drop,count=0", "--fault delay=-1", "--tls",
          "--tls --cert c", "--grant-all --deny-all", "--port 65536", "--port x", "stray",
          "--rules /nonexistent", "--no-such-option", "--help"}) {
        std::vector<std::string> argv = words(line);
        argv.insert(argv.begin(), gw_bin("gatewarden-servicesim"));
        Child c;
        ASSERT_TRUE(c.start(argv));
        int st = c.wait_exit(10000);
        int want = argv[1] == "--help" ? 0 : 2;
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == want) << line << ": wait status " << st;
    }
}

// With /etc/reader.db unreadable the call goes to the built-in URL, HTTPS on
// the default port, with device address 0; the sandbox has no name server,
// so it fails at once.
TEST_F(Answers, UnreadableSettingsUseTheDefaultUrl)
{
    ASSERT_EQ(writeDevAddr(9), 0);
    ASSERT_TRUE(db_exec("alter table readerInfo rename to away"));
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_TRUE(db_exec("alter table away rename to readerInfo"));
    size_t at = run.out.find("\nsoap url:https://"); // after the settings store's own message
    ASSERT_NE(at, std::string::npos) << run.out;
    std::string url = run.out.substr(at + 10, run.out.find('\n', at + 1) - at - 10);
    EXPECT_EQ(url.find(':', 6), std::string::npos) << url;
    EXPECT_EQ(url.substr(url.find('/', 8)), "/ws/AccessGate");
    EXPECT_NE(run.out.find("devID:0, Passnumber:0A1B2C3D\n\nGrantAccess failed\n"),
              std::string::npos)
        << run.out;
    EXPECT_LT(run.ms, 3000);
    expect_failed(run);
}

// The TLS library, configured to load no algorithms at all, cannot make the
// client context: the fault report is printed, "GrantAccess failed" is not,
// and neither the separator line nor the request follows. OpenSSL reads its
// configuration once per process, so the call runs in a program of its own.
// (An http URL makes no TLS context at all: the service here is https.)
TEST_F(Answers, TlsSetupFailureEndsTheCallBeforeSending)
{
    ASSERT_TRUE(svc.start("--tls --grant-all"));
    std::string conf = test_cert_dir() + "/no-algorithms.cnf";
    std::ofstream(conf) << "openssl_conf = openssl_init\n[openssl_init]\nproviders = prov\n"
                           "[prov]\nnull = null_sect\n[null_sect]\nactivate = 1\n";
    setenv("OPENSSL_CONF", conf.c_str(), 1);
    Child once;
    bool started = once.start({gw_bin("test_access_gate_once"), "0A1B2C3D\n"});
    unsetenv("OPENSSL_CONF");
    ASSERT_TRUE(started);
    int st = once.wait_exit(20000);
    once.drain();
    std::string out;
    for (const std::string &l : once.lines())
        out += l + "\n";
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << out; // accessGate returned -1
    EXPECT_NE(out.find("soap url:" + svc.url + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SSL/TLS error"), std::string::npos) << out;
    for (const char *absent : {"GrantAccess failed", "-----", "devID:"})
        EXPECT_EQ(out.find(absent), std::string::npos) << out;
    EXPECT_TRUE(svc.requests().empty());
}
