// accessGate against the access service simulator and against a plain
// loopback peer: what it prints, posts and sends, how long it waits, and how
// its failures look. accessGate reads /etc/reader.db: inside the board
// sandbox only.
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "access/access_config.h"
#include "access/accessGateClient.h"
#include "access/service_conn.h"
#include "core/slot.h"
#include "settings/protection.h"
#include "settings/readerdb.h"
#include "tests/sql.h"
#include "tools/support/support.h"

namespace
{

// One accessGate call: its result, what it printed, how long it took.
struct GateRun {
    int rc;
    std::string out, err;
    double ms;
};

const char SLOT_UNTOUCHED[] = "149 light=238 relay=238 buzzer=238";

// Runs it on a cleared command slot.
GateRun run_gate(std::string card)
{
    // The client alone must keep a closed connection from ending the process:
    // SIGPIPE keeps its default action here, as without the daemon's start-up.
    static bool ready = (slot_init(), signal(SIGPIPE, SIG_DFL), true);
    (void)ready;
    pthread_mutex_lock(&mutex);
    opt = SLOT_IDLE;
    actLight = actRelay = actBuzzer = 238;
    pthread_mutex_unlock(&mutex);
    GateRun run = {};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    double t0 = now_ms();
    run.rc = accessGate(&card[0]);
    run.ms = now_ms() - t0;
    run.out = testing::internal::GetCapturedStdout();
    run.err = testing::internal::GetCapturedStderr();
    return run;
}

std::string slot_text()
{
    pthread_mutex_lock(&mutex);
    std::string s = std::to_string(opt) + " light=" + std::to_string(actLight) +
                    " relay=" + std::to_string(actRelay) + " buzzer=" + std::to_string(actBuzzer);
    pthread_mutex_unlock(&mutex);
    return s;
}

std::string posted(unsigned light, unsigned relay)
{
    return "151 light=" + std::to_string(light) + " relay=" + std::to_string(relay) + " buzzer=0";
}

// The output after the "soap url:" line; result: from "GrantAccess " on.
std::string printed(const std::string &result,
                    const std::string &dev_and_card = "0, Passnumber:0A1B2C3D\n")
{
    return "-------------------------------------\ndevID:" + dev_and_card + "\nGrantAccess " +
           result;
}

void expect_failed(const GateRun &run)
{
    EXPECT_EQ(run.rc, -1);
    // The last line, at error level: which card, which service.
    size_t at = run.out.rfind("\nGrantAccess failed: card ");
    EXPECT_TRUE(at != std::string::npos && run.out.find('\n', at + 1) + 1 == run.out.size())
        << run.out;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(slot_text(), SLOT_UNTOUCHED);
}

bool store_url(std::string url)
{
    return writeUrlConfig(&url[0]) == 0;
}

std::string test_cert_dir()
{
    static TempDir dir("gw-access-cert");
    static bool made = system((GW_SOURCE_DIR "/scripts/make-test-cert " + dir.path).c_str()) == 0;
    return made ? dir.path : "";
}

// gatewarden-servicesim on 127.0.0.1, a free port.
struct Service {
    Child child;
    std::string url;
    // args: its options, separated by spaces; --tls brings the certificate
    // and key of test_cert_dir(). Stores url in /etc/reader.db when store.
    bool start(const std::string &args, bool store = true, bool commands = false)
    {
        std::vector<std::string> argv = {gw_bin("gatewarden-servicesim"), "--port", "0"};
        std::istringstream in(args);
        for (std::string w; in >> w;) {
            argv.push_back(w);
            if (w == "--tls")
                argv.insert(argv.end(), {"--cert", test_cert_dir() + "/cert.pem", "--key",
                                         test_cert_dir() + "/key.pem"});
        }
        std::string line;
        if (!child.start(argv, false, commands) || !child.wait_for("listening ", 10000, &line))
            return false;
        url = line.substr(line.find("listening ") + 10);
        return !store || store_url(url);
    }
    // Lines with what (" request ", " connection ", " handshake ") logged so
    // far (reads what is available within 200 ms).
    size_t requests(const char *what = " request ")
    {
        std::string line;
        while (child.read_line(line, 200)) {
        }
        size_t n = 0;
        for (const std::string &l : child.lines())
            n += l.find(what) != std::string::npos;
        return n;
    }
};

// An HTTP answer: the GrantAccessResponse holds an AccessGranted with the
// given content, or none (nullptr); its namespace is ns.
std::string answer(const char *granted, const char *ns = ACCESS_NS1_URI)
{
    std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
        "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns1=\"" +
        std::string(ns) + "\"><SOAP-ENV:Body><ns1:GrantAccessResponse>" +
        (granted ? "<AccessGranted>" + std::string(granted) + "</AccessGranted>" : "") +
        "</ns1:GrantAccessResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// accessGate for card against a loopback peer that sends reply after
// reading the request for 300 ms. Returns the request as received.
std::string exchange(const std::string &reply, const std::string &card, GateRun *run)
{
    int port = 0, lfd = tcp_listen(&port);
    EXPECT_TRUE(lfd >= 0 && store_url("http://127.0.0.1:" + std::to_string(port) + "/ws/x"));
    std::thread gate([&] { *run = run_gate(card); });
    pollfd p = {lfd, POLLIN, 0};
    int fd = poll(&p, 1, 10000) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    std::string req = read_reply(fd, 300, false); // the whole request, on loopback
    send_all(fd, reply);
    shutdown(fd, SHUT_WR);
    gate.join();
    close(fd);
    close(lfd);
    return req;
}

class Gate : public testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(writeDevAddr(0), 0); }
    GateRun run;
    Service svc;
};

// Headers, envelope and the one Body element as sent: children in order,
// unqualified, the device address with its sign, the card's UTF-8 bytes and
// line feed as they are, markup escaped. The Color comes back as bytes; its
// code is bytes 6 to 8.
TEST_F(Gate, RequestBytesAndAnswerBytes)
{
    ASSERT_EQ(writeDevAddr(-2147483647 - 1), 0);
    std::string req = exchange(answer("<OpenRelay>false</OpenRelay>"
                                      "<Color>\xC3\xA9"
                                      "0000101</Color>"),
                               "\xC3\xA9&<>\"\n", &run);
    ASSERT_EQ(run.rc, 0) << run.out << run.err;
    size_t end = req.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << req;
    std::string head = req.substr(0, end + 2), body = req.substr(end + 4);
    EXPECT_EQ(head.compare(0, 21, "POST /ws/x HTTP/1.1\r\n"), 0) << head;
    for (const std::string &line : {std::string("SOAPAction: \"" ACCESS_SOAP_ACTION "\""),
                                    std::string("Content-Type: text/xml; charset=utf-8"),
                                    "Content-Length: " + std::to_string(body.size())})
        EXPECT_NE(head.find("\r\n" + line + "\r\n"), std::string::npos) << line << "\n" << head;
    for (const char *part :
         {"xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"",
          "xmlns:ns1=\"" ACCESS_NS1_URI "\"",
          "<SOAP-ENV:Body><ns1:GrantAccess><Device><DeviceId>-2147483648</DeviceId><In>true</In>"
          "<Passnumber>\xC3\xA9&amp;&lt;&gt;\"\n</Passnumber></Device></ns1:GrantAccess>"
          "</SOAP-ENV:Body>"})
        EXPECT_NE(body.find(part), std::string::npos) << part << "\n" << body;
    for (const char *absent : {"Transfer-Encoding", "encodingStyle", "xsi:type", "Header"})
        EXPECT_EQ(req.find(absent), std::string::npos) << absent;
    EXPECT_EQ(run.out.substr(run.out.find('\n') + 1),
              printed("successful\nOpenRelay: false\nColor: \xC3\xA9"
                      "0000101\n",
                      "-2147483648, Passnumber:\xC3\xA9&<>\"\n"));
    EXPECT_EQ(slot_text(), posted(4, 0));
}

// Answers of the simulator (rules and injected faults) and answers written
// by hand: what is read and posted, what fails and leaves the slot alone.
TEST_F(Gate, AnswersAreReadAsTheContractSays)
{
    const struct {
        const char *what;  // the simulator's options, or the name of the reply
        std::string reply; // written by hand; none: the simulator answers
        std::string slot;  // after the call
        std::string text;  // in the output of an answer, in the fault report of a failure
    } cases[] = {
        {"--grant-all --fault reorder", "", posted(3, 1), "OpenRelay: true\nColor: 000000100\n"},
        // The unknown element holds an OpenRelay true of its own: skipped whole.
        {"--deny-all --fault extra", "", posted(1, 0), "OpenRelay: false\nColor: 000000001\n"},
        {"--deny-all --fault relay1", "", posted(1, 1), "OpenRelay: true\nColor: 000000001\n"},
        {"--grant-all --fault nocolor", "", posted(0, 1), "OpenRelay: true\nColor: (none)\n"},
        {"no AccessGranted", answer(nullptr), posted(0, 0), "OpenRelay: false\nColor: (none)\n"},
        {"second OpenRelay, empty Color",
         answer("<OpenRelay>false</OpenRelay><OpenRelay>true"
                "</OpenRelay><Color></Color>"),
         posted(0, 0), "OpenRelay: false\nColor: \n"},
        {"--grant-all --fault relayword", "", SLOT_UNTOUCHED, "SOAP-ENV:Client"},
        {"--grant-all --fault fault500", "", SLOT_UNTOUCHED,
         "\"injected fault\"\nDetail: gatewarden-servicesim"},
        {"--grant-all --fault drop", "", SLOT_UNTOUCHED, "End of file or no input"},
        // Dropped inside TLS: fails and ends nothing (SIGPIPE keeps its default).
        {"--tls --grant-all --fault drop", "", SLOT_UNTOUCHED, "End of file or no input"},
        {"other namespace", answer("<OpenRelay>true</OpenRelay>", "http://other/"), SLOT_UNTOUCHED,
         "SOAP-ENV:Client"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Service sim;
        if (c.reply.empty()) {
            ASSERT_TRUE(sim.start(c.what));
            run = run_gate("0A1B2C3D\n");
        } else {
            exchange(c.reply, "0A1B2C3D\n", &run);
        }
        if (c.slot == SLOT_UNTOUCHED) {
            expect_failed(run);
            EXPECT_NE(run.err.find(c.text), std::string::npos) << run.err;
        } else {
            EXPECT_EQ(run.rc, 0) << run.err;
            EXPECT_EQ(run.out.substr(run.out.find('\n') + 1), printed("successful\n" + c.text));
            EXPECT_EQ(run.err, "");
        }
        EXPECT_EQ(slot_text(), c.slot);
    }
}

// The stored URL replaces the default whatever it holds, the empty text
// too. A URL without a host fails without the request going to standard
// output or the answer being taken from standard input (which offers one).
TEST_F(Gate, UrlWithoutHostFailsWithoutTouchingStdio)
{
    int saved_in = dup(0), in[2];
    ASSERT_EQ(pipe(in), 0);
    dup2(in[0], 0);
    std::string reply = answer("<OpenRelay>true</OpenRelay>");
    for (std::string url : {"", "nohost", "file:///tmp/x"}) {
        SCOPED_TRACE(url);
        ASSERT_EQ(write(in[1], reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
        ASSERT_TRUE(store_url(url));
        run = run_gate("0A1B2C3D\n");
        EXPECT_EQ(run.out, "soap url:" + url + "\n" +
                               printed("failed: card 0A1B2C3D, service " + url + "\n"));
        EXPECT_LT(run.ms, 1500);
        expect_failed(run);
    }
    dup2(saved_in, 0);
    for (int fd : {saved_in, in[0], in[1]})
        close(fd);
}

// Each wait for data is two seconds: a service that answers after two and a
// half fails the call after about two. Nobody listening fails it at once.
TEST_F(Gate, SlowOrAbsentService)
{
    ASSERT_TRUE(svc.start("--grant-all --fault delay=2500,count=1"));
    run = run_gate("0A1B2C3D\n");
    expect_failed(run);
    EXPECT_GE(run.ms, 1500);
    // The longest card number is sent, one byte more is refused before sending.
    EXPECT_EQ(run_gate(std::string(31, '7')).rc, 0);
    EXPECT_EQ(run_gate(std::string(32, '7')).rc, -1);
    EXPECT_EQ(slot_text(), SLOT_UNTOUCHED);
    EXPECT_EQ(svc.requests(), 2u);
    svc.child.stop(SIGTERM);
    run = run_gate("0A1B2C3D\n");
    expect_failed(run);
    EXPECT_LT(run.ms, 1500);
}

// With /etc/reader.db unreadable the call goes to the built-in URL with
// device address 0; the sandbox has no name server, so it fails at once.
TEST_F(Gate, UnreadableSettingsUseTheDefaultUrl)
{
    ASSERT_EQ(writeDevAddr(9), 0);
    ASSERT_EQ(sql_query("/etc/reader.db", "alter table readerInfo rename to away"), "");
    run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(sql_query("/etc/reader.db", "alter table away rename to readerInfo"), "");
    std::string url = "\nsoap url:" ACCESS_DEFAULT_URL "\n"; // after the store's message
    EXPECT_NE(
        run.out.find(url + printed("failed: card 0A1B2C3D, service " ACCESS_DEFAULT_URL "\n")),
        std::string::npos)
        << run.out;
    EXPECT_LT(run.ms, 3000);
    expect_failed(run);
}

// The access service's certificate checked against /etc/gatewarden/ca.pem:
// a call is answered only over a chain from that CA naming the URL's host,
// and an http URL is not even sent while the file exists. Without it,
// nothing is verified.
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
        {ca, "", "127.0.0.1", false, ": the service URL is not https while"},
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
        GateRun run = run_gate("0A1B2C3D\n");
        EXPECT_EQ(run.rc, c.answered ? 0 : -1) << run.out << run.err;
        EXPECT_EQ(slot_text(), c.answered ? posted(3, 1) : SLOT_UNTOUCHED);
        EXPECT_EQ(svc.requests(), c.answered ? 1u : 0u);
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    }
    // A kept connection was verified against the CA of its day: another
    // file in its place ends it before the next card, which is refused.
    ASSERT_EQ(system(("cp " + ca + " " PROTECT_CA_FILE).c_str()), 0);
    Service svc;
    ASSERT_TRUE(
        svc.start("--grant-all --tls --cert " + good + "/cert.pem --key " + good + "/key.pem"));
    EXPECT_EQ(run_gate("0A1B2C3D\n").rc, 0);
    ASSERT_EQ(system(("cp " + other + " " PROTECT_CA_FILE).c_str()), 0);
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_NE(run.out.find("service certificate refused: unknown issuer"), std::string::npos);
    EXPECT_EQ(svc.requests(), 1u);
    // The next failure, for another reason, is no refusal.
    svc.child.stop();
    run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, -1);
    EXPECT_EQ(run.out.find("certificate refused"), std::string::npos) << run.out;
    unlink(PROTECT_CA_FILE);
}

// The connection kept, set up ahead, replaced, given up, as the service
// allows: connections, handshakes and requests that the service counts for
// a row of cards (g granted, n no answer), faults armed between them
// ("f KIND"), waits for its log ("w TEXT") and the off switch ("o"). A card
// without an answer costs no more than a fresh connection's time-outs did.
TEST(Keep, ConnectionsAsTheServiceAllows)
{
    service_conn_start();
    mkdir("/etc/gatewarden", 0755);
    const struct {
        const char *sim;
        std::vector<std::string> steps;
        size_t connections, handshakes, requests;
    } rows[] = {
        {"", {"g", "g", "g", "g", "g", "g"}, 1, 0, 6},
        {"--tls", {"g", "g", "g", "g", "g", "g"}, 1, 1, 6},
        {"--close", {"g", "g", "g"}, 3, 0, 3},
        {"--http10 --tls", {"g", "g", "g"}, 3, 3, 3},
        // Closed when idle: set up again ahead of the next card.
        {"--tls --idle-close 1000", {"g", "w handshake 2", "g"}, 2, 2, 2},
        // Closed just as the request came: sent once more, on a fresh one.
        {"", {"g", "f drop,count=1", "g"}, 2, 0, 3},
        {"--tls", {"g", "f drop,count=1", "g"}, 2, 2, 3},
        {"--fault drop,count=1", {"n", "g"}, 2, 0, 2},
        // An answer came (a SOAP Fault): not sent again.
        {"", {"g", "f fault500,count=1", "n", "w connection 2"}, 2, 0, 2},
        // Gone silent, then answering again.
        {"--tls", {"g", "f stall,count=1", "n", "w handshake 2", "g"}, 2, 2, 3},
        {"", {"g", "f trickle=300,count=1", "n", "g"}, 2, 0, 3},
        // Turned off: a connection per card, none set up ahead.
        {"", {"o", "g", "g", "g"}, 3, 0, 3},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.sim);
        Service svc;
        ASSERT_TRUE(svc.start(std::string("--grant-all --commands ") + r.sim, true, true));
        for (const std::string &step : r.steps) {
            if (step[0] == 'f') {
                svc.child.write_stdin("fault " + step.substr(2) + "\n");
                EXPECT_TRUE(svc.child.wait_for(" armed ", 5000));
            } else if (step[0] == 'o') {
                ASSERT_TRUE(write_file(ACCESS_KEEP_OFF_FILE, ""));
            } else if (step[0] == 'w') {
                EXPECT_TRUE(svc.child.wait_for(step.substr(2), 5000));
                usleep(200000); // the client's side of it done too
            } else {
                GateRun run = run_gate("0A1B2C3D\n");
                EXPECT_EQ(run.rc, step == "g" ? 0 : -1) << run.out << run.err;
                EXPECT_LT(run.ms, 5000); // 2 s connect + 2 s receive, and a margin
            }
        }
        unlink(ACCESS_KEEP_OFF_FILE);
        EXPECT_EQ(svc.requests(" connection "), r.connections);
        EXPECT_EQ(svc.requests(" handshake "), r.handshakes);
        EXPECT_EQ(svc.requests(), r.requests);
        for (const std::string &l : HasFailure() ? svc.child.lines() : std::vector<std::string>())
            fprintf(stderr, "service: %s\n", l.c_str());
    }
}

// A new URL is used for the very next card; the connector's set-up never
// holds up a card, nor the hardware thread (a card to a service that takes
// no connection fails in the connect time-out, once).
TEST(Keep, NewUrlAtOnceAndNoWaitForTheConnector)
{
    service_conn_start();
    Service a, b;
    ASSERT_TRUE(a.start("--grant-all") && b.start("--grant-all", false));
    EXPECT_EQ(run_gate("0A1B2C3D\n").rc, 0);
    ASSERT_TRUE(store_url(b.url));
    EXPECT_EQ(run_gate("0A1B2C3D\n").rc, 0);
    EXPECT_EQ(a.requests(), 1u);
    EXPECT_EQ(b.requests(), 1u);

    int port, fill[3], l = tcp_full_listener(&port, fill);
    ASSERT_GE(l, 0);
    ASSERT_TRUE(store_url("http://127.0.0.1:" + std::to_string(port) + "/ws/x"));
    for (int i = 0; i < 2; i++) {
        GateRun run = run_gate("0A1B2C3D\n");
        EXPECT_EQ(run.rc, -1);
        EXPECT_LT(run.ms, 3000); // 2 s, not more while the connector tries too
    }
    struct soap *ctx;
    double t0 = now_ms();
    service_conn_take("http://127.0.0.1:1/ws/x", &ctx);
    service_conn_give(ctx, false);
    EXPECT_LT(now_ms() - t0, 1000); // not the connector's 2 s connect time-out
    for (int f : fill)
        close(f);
    close(l);
}

} // namespace
