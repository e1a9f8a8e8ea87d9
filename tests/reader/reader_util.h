// Helpers of the reader link tests: byte arrays as hex, and a
// pseudo-terminal on which the test plays the reader module.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "tools/support/support.h"

using bytes = std::vector<unsigned char>;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// "AA 00 00 01 95 94 BB" and back.
std::string hex(const bytes &b);
bytes unhex(const char *text);

// A frame as the module sends it.
bytes reply_frame(unsigned char st, const bytes &data);

// The test plays the reader module on master; slave, configured 9600 8N1,
// is the controller's port fd1 for the test's duration.
class OnPty : public testing::Test
{
  protected:
    gw_pty pty = {-1, -1, {}};
    int &master = pty.master, &slave = pty.slave, saved_fd1 = -1;
    void SetUp() override;
    void TearDown() override;
    // Bytes queued for reading on the slave side.
    int queued();
    // Answers the next request with b, as the module does: only once the
    // request is in. request() then gives that request.
    void answer(const bytes &b);
    // One request frame written on the slave side: reads until the length
    // byte's frame is complete or nothing comes for wait_ms.
    std::string request(int wait_ms = 1000);

  private:
    std::thread responder;
    std::string answered;
    std::string read_request(int wait_ms);
};
