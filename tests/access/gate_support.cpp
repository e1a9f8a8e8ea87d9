#include "tests/access/gate_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

#include "access/accessGateClient.h"
#include "core/slot.h"
#include "settings/readerdb.h"

const char SLOT_UNTOUCHED[] = "149 light=238 relay=238 buzzer=238";

GateRun run_gate(std::string card)
{
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

void slot_reset()
{
    pthread_mutex_lock(&mutex);
    opt = SLOT_IDLE;
    actLight = actRelay = actBuzzer = 238;
    pthread_mutex_unlock(&mutex);
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

void expect_failed(const GateRun &run)
{
    EXPECT_EQ(run.rc, -1);
    size_t at = run.out.rfind("GrantAccess failed\n");
    EXPECT_TRUE(at != std::string::npos && at + 19 == run.out.size()) << run.out;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(slot_text(), SLOT_UNTOUCHED);
}

bool store_url(std::string url)
{
    return writeUrlConfig(&url[0]) == 0;
}

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

bool Service::start(const std::string &args, bool store)
{
    std::vector<std::string> argv = {gw_bin("gatewarden-servicesim"), "--port", "0"};
    for (const std::string &w : words(args)) {
        argv.push_back(w);
        std::string dir = w == "--tls" ? test_cert_dir() : "";
        if (!dir.empty())
            argv.insert(argv.end(), {"--cert", dir + "/cert.pem", "--key", dir + "/key.pem"});
    }
    std::string line;
    if (!child.start(argv, false) || !child.wait_for("listening ", 10000, &line))
        return false;
    url = line.substr(line.find("listening ") + 10);
    return !store || store_url(url);
}

std::vector<std::string> Service::requests(int wait_ms)
{
    std::string line;
    while (child.read_line(line, wait_ms)) {
    }
    std::vector<std::string> out;
    for (const std::string &l : child.lines()) {
        if (l.find(" request ") != std::string::npos)
            out.push_back(l.substr(l.find(" request ") + 1));
    }
    return out;
}

std::string test_cert_dir()
{
    static std::string dir;
    char tmpl[] = "/tmp/gw-access-cert.XXXXXX";
    std::string make = GW_SOURCE_DIR "/scripts/make-test-cert ";
    if (dir.empty() && mkdtemp(tmpl) && system((make + tmpl).c_str()) == 0) {
        dir = tmpl;
        atexit([] { (void)!system(("rm -rf " + dir).c_str()); });
    }
    return dir;
}
