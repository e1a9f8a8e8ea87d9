// gatewardenctl against the real daemon in the board sandbox: search and
// set-up find the controller by broadcast.
#include "tests/ctl/ctl_harness.h"

#include <cjson/cJSON.h>
#include <csignal>
#include <sys/stat.h>

using CtlBoard = QuietBoard;

// Only the controller a set-up names applies it.
TEST_F(CtlBoard, SearchAndSetUpReachTheControllerByBroadcast)
{
    for (const char *args : {"search -t 1000", "search --interface eth0 -t 1000"}) {
        CtlResult r = run_ctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "192.0.2.10\n") << args;
    }
    EXPECT_EQ(run_ctl("search --interface nosuchif0").status, 2);

    CtlResult r = run_ctl("netconf-udp --old-ip 192.0.2.99 --ip 192.0.2.20");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("nothing confirms"), std::string::npos) << r.out;
    EXPECT_EQ(run_ctl("--json netconf-udp --old-ip 192.0.2.99 --ip 192.0.2.20").out,
              "{\"sent\":\"255.255.255.255:8000\",\"oldIP\":\"192.0.2.99\",\"confirmed\":false}\n");
    EXPECT_EQ(run_ctl("netconf-udp --old-ip 192.0.2.10 --ip 192.0.2.20").status, 0);
    EXPECT_EQ(reboot_lines(1).size(), 1u);
    EXPECT_EQ(read_file("/etc/eth0-setting"), "IP=192.0.2.20" + b.netconf.substr(13));
    usleep(500000);
    EXPECT_EQ(reboot_lines().size(), 1u) << "the set-up for another controller was applied";
}

// Under a stand-in service manager: READY, then pings; the status report over
// TCP and in its file, with the cards counted; the answers to an http URL
// under ca.pem and to a host that does not answer.
TEST(CtlBoardStatus, ReadyPingsAndTheStatusReport)
{
    TempDir run{"gw-run"};
    int notify = unix_dgram_bind(run.path + "/notify");
    setenv("NOTIFY_SOCKET", (run.path + "/notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "1000000", 1);
    setenv("RUNTIME_DIRECTORY", run.path.c_str(), 1);
    Board b;
    ASSERT_TRUE(b.start_reader({"--quiet-polls"}) && b.start_daemon());
    // The daemon has them; the next test must not (run.path goes away).
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "RUNTIME_DIRECTORY"})
        unsetenv(name);
    EXPECT_EQ(unix_dgram_recv(notify, 3000), "READY=1");
    EXPECT_EQ(unix_dgram_recv(notify, 1500), "WATCHDOG=1");
    EXPECT_EQ(unix_dgram_recv(notify, 1500), "WATCHDOG=1");
    ASSERT_TRUE(b.start_service({"--card", "0A1B2C3D=1,000000100", "--deny-all"}));
    const char *const steps[][2] = {{"0A1B2C3D", "OpenRelay: true"},
                                    {"11223344", "OpenRelay: false"},
                                    {"0A1B2C3D", "GrantAccess failed"}}; // service gone
    for (const auto &step : steps) {
        if (*step[1] == 'G')
            b.service.stop(SIGKILL);
        EXPECT_TRUE(b.card(step[0]) && b.daemon.wait_for(step[1], 15000)) << step[1];
    }
    usleep(200000);

    CtlResult r = run_ctl("--json status");
    EXPECT_EQ(r.status, 0) << r.err;
    cJSON *root = cJSON_Parse(r.out.c_str());
    char *data = cJSON_PrintUnformatted(cJSON_GetObjectItem(root, "Data"));
    std::string d = data ? data : "";
    for (const char *want :
         {R"("healthy":true,"threads":{"hardware":"running","tcp":"running","udp":"running"})",
          R"("reader":{"port":"open","answers":true,"pollsPerSecond":)",
          R"("cards":{"granted":1,"refused":1,"noAnswer":1},"service":{"state":"not answering")",
          R"("protections":{"ca":{"file":"/etc/gatewarden/ca.pem","on":false},"manageAllow":)",
          R"("settings":{"/etc/eth0-setting":true,"/etc/reader.db":true,"/etc/card.db":true}})"})
        EXPECT_NE(d.find(want), std::string::npos) << want << "\n" << d;
    EXPECT_EQ(d.find(R"("lastError":"")"), std::string::npos) << d;
    free(data);
    cJSON_Delete(root);
    std::string file; // rewritten every 5 s
    for (int k = 0; k < 80 && file.find(R"("noAnswer":1)") == std::string::npos; k++) {
        usleep(100000);
        file = read_file(run.path + "/status.json");
    }
    EXPECT_NE(file.find(R"("noAnswer":1)"), std::string::npos) << file;

    mkdir("/etc/gatewarden", 0755);
    write_file("/etc/gatewarden/ca.pem", "x");
    r = run_ctl("url set http://127.0.0.1:1/x");
    unlink("/etc/gatewarden/ca.pem");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refused: an https URL is required while /etc/gatewarden/ca.pem exists"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(run_ctl("-H 198.51.100.1 -t 1500 url get").status, 5); // in the sandbox's network
    close(notify);
}
