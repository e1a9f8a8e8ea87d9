// gatewardenctl against a fake controller on loopback: the exact request
// bytes of every TCP subcommand, reading of the formatted replies, exit statuses.
#include "tests/ctl/ctl_harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <sstream>
#include <sys/socket.h>

#include "netservice/mgmt_proto.h"

namespace
{

const std::string OK = reply(1);
const std::string READER_INFO =
    "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devAddr\":\t7,\n\t\t\"tRelay\":\t10,\n"
    "\t\t\"tLight\":\t20,\n\t\t\"tBuzzer\":\t30,\n\t\t\"Status\":\t1\n\t}\n}";
const std::string NO_NET =
    R"({"response":1,"Data":{"IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})";

} // namespace

// Each subcommand sends its exact requests, one connection each, waits for
// the reply and prints it as a table, or as sent with --json. Reader settings
// not given are read first and sent back unchanged.
TEST(CtlTcp, EachSubcommandSendsItsExactRequestAndPrintsTheReply)
{
    const struct {
        std::string args, request, reply = OK, out = "ok\n", first_reply = "";
    } cases[] = {
        {"reader get", cmd("CMD_GetReaderInfo"), READER_INFO,
         "devAddr  7\ntRelay   10\ntLight   20\ntBuzzer  30\nStatus   1\n"},
        {"reader set --devaddr -3 --relay 10 --light 20 --buzzer 30 --status 255",
         cmd("CMD_SetReaderInfo",
             R"({"devAddr":-3,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":255})")},
        {"reader set --relay 9",
         cmd("CMD_GetReaderInfo") +
             cmd("CMD_SetReaderInfo",
                 R"({"devAddr":7,"tRelay":9,"tLight":20,"tBuzzer":30,"Status":1})"),
         OK, "ok\n", READER_INFO},
        {"buzzer", cmd("CMD_CtrBuzzer")},
        {"output --light=5 --buzzer=2 --relay=0",
         cmd("CMD_CtrDevice", R"({"Light":5,"Buzzer":2,"Relay":0})")},
        {"net get", cmd("CMD_GetNetConf"),
         "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"IP\":\t\"192.0.2.10\",\n\t\t\"Mask\":\t"
         "\"255.255.255.0\",\n\t\t\"Gateway\":\t\"192.0.2.1\",\n\t\t\"DNS\":\t\"192.0.2.1\",\n"
         "\t\t\"MAC\":\t\"02:00:00:00:00:01\"\n\t}\n}",
         "IP       192.0.2.10\nMask     255.255.255.0\nGateway  192.0.2.1\n"
         "DNS      192.0.2.1\nMAC      02:00:00:00:00:01\n"},
        {"net set --ip 10.1.2.3 --mask 255.255.0.0 --gateway 10.1.0.1 --dns 10.1.0.2 --mac "
         "02:AB:cd:00:00:09",
         cmd("CMD_SetNetConf", R"({"IP":"10.1.2.3","Mask":"255.255.0.0","Gateway":"10.1.0.1",)"
                               R"("DNS":"10.1.0.2","MAC":"02:AB:cd:00:00:09"})"),
         OK, "saved; the controller reboots now to apply the new settings\n"},
        {"url get", cmd("CMD_GetUrlAddr"), "{\n\t\"response\":\t1,\n\t\"Data\":\t\"http://h/x\"\n}",
         "URL  http://h/x\n"},
        {"url set https://svc.example/ws/AccessGate?a=1&b=\"2\"",
         cmd("CMD_SetUrlAddr", R"("https://svc.example/ws/AccessGate?a=1&b=\"2\"")")},
        {"--json -H127.0.0.1 -t9000 reader get", cmd("CMD_GetReaderInfo"), READER_INFO,
         R"({"response":1,"Data":{"devAddr":7,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":1}})"
         "\n"},
        {"status", cmd("CMD_GetStatus"),
         R"({"response":1,"Data":{"healthy":true,"reader":{"port":"open","pollsPerSecond":9}}})",
         "healthy                       true\nreader.port                   open\n"
         "reader.pollsPerSecond         9\n"},
        {R"(raw {"command":"CMD_CtrRelay","Data":5}trailing)",
         R"({"command":"CMD_CtrRelay","Data":5}trailing)", OK, "response  1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        FakeController fake;
        std::vector<FakeAnswer> answers = {{{c.reply}}};
        if (!c.first_reply.empty())
            answers.insert(answers.begin(), {{c.first_reply}});
        CtlResult r = fake.run(c.args, answers);
        const std::vector<std::string> &seen = fake.requests;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
        ASSERT_EQ(seen.size(), answers.size());
        EXPECT_EQ(seen[0] + (seen.size() > 1 ? seen[1] : ""), c.request);
        EXPECT_FALSE(fake.pending());
    }
}

// A reply split across reads is gathered until the outermost brace closes;
// braces, quotes and backslashes inside strings do not end it.
TEST(CtlTcp, ReplySplitAcrossReadsIsGatheredWhole)
{
    FakeController fake;
    // The first piece ends with what would close the object if strings were
    // not minded: "}" inside the URL, after an escaped quote.
    CtlResult r = fake.run(
        "url get",
        {{{"{\n\t\"response\":\t1,\n\t\"Data\":\t\"http://h/a\\\"}", "{b}\\\\}\"\n}"}, 300}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "URL  http://h/a\"}{b}\\}\n");
    EXPECT_GE(r.ms, 300 + 200);
    // Control characters of a reply are shown, not passed to the terminal.
    r = fake.run("url get", {{{"{\"response\":1,\"Data\":\"x\\u0007\\n\"}"}}});
    EXPECT_EQ(r.out, "URL  x\\x07\\x0A\n");
}

// 1 refused or nothing to show, 3 no (usable) answer in time, 4 no controller there.
TEST(CtlTcp, ExitStatusesTellRefusedAndNoAnswer)
{
    const struct {
        std::string args;
        FakeAnswer answer;
        int status;
        std::string out, err;
    } cases[] = {
        {"relay", {{reply(0)}}, 1, "", "did not answer, or answered with a"},
        {"--json relay",
         {{reply(0)}},
         1,
         "{\"response\":0}\n",
         R"({"error":"the controller refused)"},
        {"net get", {{}, 0, true}, 3, "", "/etc/gatewarden/manage-allow exists"},
        {"status",
         {{R"({"response":1,"Data":{"healthy":false}})"}},
         1,
         "healthy                       false\n",
         ""},
        {"net get", {{"{\"Data\":1}"}}, 3, "", "not understood"},
        {"-t 700 buzzer", {}, 3, "", "no reply"},                    // never answers
        {"net get", {{NO_NET}}, 1, "", "holds no network settings"}, // no /etc/eth0-setting
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        FakeController fake;
        CtlResult r = fake.run(c.args, {c.answer});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        bool silence = c.answer.chunks.empty() && !c.answer.hang_up; // waits for the time-out
        EXPECT_TRUE(!silence || (r.ms >= 700 && r.ms < 5000)) << r.ms << " ms";
    }

    int port = FakeController().port(); // closed again: nothing listens there
    CtlResult r = run_ctl("-p " + std::to_string(port) + " net get");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("connection refused"), std::string::npos) << r.err;
}

TEST(CtlTcp, BadUsageIsRefusedBeforeAnythingIsSent)
{
    FakeController fake;
    for (const std::string &args :
         {std::string(), std::string("reader set --relay 256"), std::string("output --colour 3"),
          std::string("net set --mask 255.0.255.0"), std::string("url set ftp://host/x"),
          "-H 127.0.0.1 -H 127.0.0.1 raw " +
              cmd("CMD_SetUrlAddr", '"' + std::string(1000, 'a') + '"'),
          std::string("--port 70000 net get"), std::string("-H 999.1.1.1 net get"),
          std::string("-H 127.0.0.1 -H 127.0.0.1 url set ftp://host/x")}) {
        CtlResult r = fake.run(args, {});
        EXPECT_EQ(r.status, 2) << args.substr(0, 40) << "\n" << r.err;
        // One usage error, the tool's own: not one from each host.
        EXPECT_EQ(r.err.find("Try '"), r.err.rfind("Try '")) << args.substr(0, 40) << r.err;
    }
    EXPECT_FALSE(fake.pending());
    EXPECT_NE(run_ctl("--help").out.find("--version"), std::string::npos);
}

// url set refused: the status report tells an http URL under ca.pem from a failed write.
TEST(CtlTcp, UrlRefusedNamesTheCaFileWhenItIsThere)
{
    const std::string ca = R"({"response":1,"Data":{"protections":{"ca":{"on":true}}}})";
    const struct {
        std::string url, status_reply, err;
    } cases[] = {
        {"http://h/x", ca, "refused: an https URL is required while /etc/gatewarden/ca.pem exists"},
        {"http://h/x", R"({"response":1,"Data":{"protections":{"ca":{"on":false}}}})",
         "could not write /etc/reader.db"},
        {"https://h/x", "", "could not write /etc/reader.db"}, // no status read
    };
    for (const auto &c : cases) {
        FakeController fake;
        std::vector<FakeAnswer> answers = {{{reply(0)}}};
        if (!c.status_reply.empty())
            answers.push_back({{c.status_reply}});
        CtlResult r = fake.run("url set " + c.url, answers);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(fake.requests.back(), c.status_reply.empty()
                                            ? cmd("CMD_SetUrlAddr", '"' + c.url + '"')
                                            : cmd("CMD_GetStatus"));
    }
}

// One command on several controllers (127.0.0.2 and .3 answer on one port,
// nothing listens on .4): one line per host, the worst status.
TEST(CtlTcp, SeveralHostsInParallelOneResultEach)
{
    int port = 0;
    std::vector<int> fds;
    for (const char *a : {"127.0.0.2", "127.0.0.3"}) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = ipv4(a, port);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
        port = ntohs(sa.sin_port);
        listen(fd, 4);
        fds.push_back(fd);
    }
    Udp search("127.0.0.1"); // on a port of its own, not the controllers' TCP port
    TempDir dir{"gw-hosts"};
    write_file(dir.path + "/hosts", "# the gates\n 127.0.0.2\n\n127.0.0.3 # east\n127.0.0.4\n");
    const struct {
        std::string args, out;
        size_t lines;
    } cases[] = {
        {"--json -H 127.0.0.2 -H 127.0.0.3 -H 127.0.0.4 relay",
         R"({"host":"127.0.0.2","status":0,"result":{"response":1}})"
         "\n"
         R"({"host":"127.0.0.3","status":1,"result":{"response":0},"error":"the controller )"
         R"(refused CMD_CtrRelay)",
         3},
        {"--hosts " + dir.path + "/hosts relay", "127.0.0.2: ok\n", 1}, // the others: stderr
        // -p is the controllers' TCP port: the search goes where --all says.
        {"--all=127.0.0.1:" + std::to_string(search.port()) + " relay", "127.0.0.2: ok\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        bool all = c.args.rfind("--all", 0) == 0;
        CtlResult r = run_ctl("-p " + std::to_string(port) + " " + c.args, [&] {
            if (all) { // the search: answers from .2 and .3
                std::string req;
                sockaddr_in tool = {};
                search.recv(req, 5000, nullptr, &tool);
                for (const char *a : {"127.0.0.2", "127.0.0.3"})
                    Udp(a).send("TcpReader Response", "127.0.0.1", ntohs(tool.sin_port));
            }
            for (size_t k = 0; k < fds.size(); k++) {
                int fd = wait_readable(fds[k], 10000) > 0 ? accept(fds[k], nullptr, nullptr) : -1;
                std::string req;
                char buf[256];
                ssize_t n;
                while (fd >= 0 && wait_readable(fd, TCP_GAP_MS) > 0 &&
                       (n = recv(fd, buf, 256, 0)) > 0)
                    req.append(buf, static_cast<size_t>(n));
                EXPECT_EQ(req, cmd("CMD_CtrRelay"));
                send(fd, reply(k == 0).data(), reply(k == 0).size(), MSG_NOSIGNAL);
                close(fd);
            }
        });
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        std::sort(lines.begin(), lines.end());
        std::string sorted;
        for (const auto &l : lines)
            sorted += l + "\n";
        EXPECT_EQ(sorted.substr(0, c.out.size()), c.out);
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_EQ(r.status, all ? 1 : 4) << r.err;
    }
    for (int fd : fds)
        close(fd);
}
