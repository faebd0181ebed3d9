// The trace calls of the C API in a client process registered with a
// stand-in dispatcher: the records in the process's trace ring, and what is
// (not) written when tracing is disabled, paused or has no dispatcher.
//
// Each case runs in a forked child, so that it gets a fresh process-wide
// proxy; the child reports what went wrong as lines in a file.

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "KivANSIAPI/KivANSIAPI.h"
#include "KivANSIAPI/TraceRingReading.h"
#include "KivService/ServiceClientFakeDispatcher.h"
#include "Support/SharedMemory.h"
#include "TestSupport/Sandbox.h"
#include "TraceService/MessageBufferNames.h"

namespace {

const char* kConfig =
    "<KIVConfig trace=\"1\"><Logfile path=\"$(OLVAN_VORNEL_DIR)/log\" size=\"100\" maxbackups=\"10\" "
    "preserve_size=\"100\" preserve_maxbackups=\"10\"/><Global><GLabel name=\"L\" state=\"1\"/>"
    "<GLabel name=\"Off\" state=\"0\"/><GClient name=\"Alice\" state=\"1\"/></Global>"
    "<Module name=\"M\" state=\"1\"/><Module name=\"Quiet\" state=\"0\"/></KIVConfig>";

struct KivTraceTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  std::string failures = sandbox.Dir() + "/failures.txt";

  void SetUp() override {
    std::filesystem::create_directories(sandbox.TempDir());
    sandbox.WriteConfig(kConfig);
  }
  // Runs `body` in a child; `check(cond, what)` there notes a failure.
  template <class Body>
  void InChild(Body&& body) {
    const int rc = kivtest::RunInChild([&] {
      auto check = [&](bool ok, const std::string& what) {
        if (!ok) kivtest::WriteFile(failures, ReadFailures() + what + "\n");
      };
      body(check);
      return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFailures(), "");
  }
  std::string ReadFailures() const {
    return kivtest::FileExists(failures) ? kivtest::ReadFile(failures) : "";
  }
};

bool WaitConnected() {
  return kivtest::WaitFor([] { return KivTraceConnected() == 1; }, kivtest::kProcessWaitDeadline);
}

std::vector<kivtest::ReadRecord> OwnRecords() {
  SharedMemory ring(KivMessageBuffers::TraceBufferName(static_cast<uint32_t>(getpid())));
  return kivtest::ParseRecords(kivtest::DrainRing(ring.Data(), ring.Length()));
}

}  // namespace

TEST_F(KivTraceTest, EnabledCallsWriteRecordsWithTheNamesBehindTheHandles) {
  kivtest::FakeDispatcherProcess dispatcher(sandbox.Dir() + "/dispatcher");
  ASSERT_GT(dispatcher.Pid(), 0);
  InChild([](auto check) {
    int m = -1, quiet = -1, l = -1, off = -1;
    check(KivGetModuleHandle("M", &m) == 0 && KivGetModuleHandle("Quiet", &quiet) == 0, "module handles");
    check(KivGetLabelHandle("L", &l) == 0 && KivGetLabelHandle("Off", &off) == 0, "label handles");
    check(KivRegisterClient(m, 7, "Alice") == 0 && KivRegisterClient(m, 8, "Bob") == 0, "clients");
    check(WaitConnected(), "registration");

    check(KivTrace(m, KIV_NO_CLIENT, l, "value %d of %s", 42, "x") == 1, "printf-style record");
    check(KivTraceText(m, 7, l, "text\nwith line feed and more", 19) == 1, "text record of a client");
    const std::string longText(3000, 'y');
    check(KivTrace(m, KIV_NO_CLIENT, l, "%s", longText.c_str()) == 1, "long record");
    // Disabled by label, module, client, unknown handles: nothing written.
    check(KivTrace(m, KIV_NO_CLIENT, off, "no") == 0, "disabled label");
    check(KivTrace(quiet, KIV_NO_CLIENT, l, "no") == 0, "disabled module");
    check(KivTraceText(m, 8, l, "no", 2) == 0, "disabled client");
    check(KivTraceText(m, 9, l, "no", 2) == 0, "unregistered client number");
    check(KivTrace(99, KIV_NO_CLIENT, l, "no") == 0 && KivTrace(m, KIV_NO_CLIENT, -1, "no") == 0,
          "unknown handles");
    check(KivTraceText(m, KIV_NO_CLIENT, l, nullptr, 5) == 1, "null text writes an empty message");

    const auto records = OwnRecords();
    check(records.size() == 4, "four records, got " + std::to_string(records.size()));
    if (records.size() != 4) return;
    const uint32_t tid = static_cast<uint32_t>(syscall(SYS_gettid));
    for (const auto& r : records) {
      check(r.module == "M" && r.label == "L", "names of module and label");
      check(r.threadId == tid, "thread id");
      check(r.timestamp.has_value(), "timestamp");
    }
    check(records[0].text == "value 42 of x" && !records[0].client, "first record");
    check(records[1].text == "text\nwith line feed" && records[1].client == "Alice", "client record");
    check(records[2].text == longText.substr(0, KIV_MAX_MESSAGE_LENGTH), "long text cut to the packet limit");
    check(records[3].text == "", "empty message");
    check(records[0].sequence < records[1].sequence && records[1].sequence < records[2].sequence,
          "ascending numbers");

    uint64_t written = 0, dropped = 99;
    check(KivGetTraceStatistics(&written, &dropped) == 0 && written == 4 && dropped == 0, "statistics");
    check(KivGetTraceStatistics(nullptr, nullptr) == 0, "statistics without pointers");
  });
}

TEST_F(KivTraceTest, PausedTracingWritesNothingUntilResumed) {
  kivtest::FakeDispatcherProcess dispatcher(sandbox.Dir() + "/dispatcher");
  ASSERT_GT(dispatcher.Pid(), 0);
  InChild([](auto check) {
    int m = -1, l = -1;
    KivGetModuleHandle("M", &m);
    KivGetLabelHandle("L", &l);
    check(WaitConnected(), "registration");
    check(KivPause() == 0, "pause confirmed");
    check(kivtest::WaitFor([&] { return KivTraceEnabledEx(m, KIV_NO_CLIENT, l) == 0; },
                           kivtest::kProcessWaitDeadline),
          "pause applied");
    check(KivTrace(m, KIV_NO_CLIENT, l, "paused") == 0, "nothing while paused");
    check(OwnRecords().empty(), "ring empty while paused");
    check(KivResume() == 0, "resume confirmed");
    check(kivtest::WaitFor([&] { return KivTraceEnabledEx(m, KIV_NO_CLIENT, l) == 1; },
                           kivtest::kProcessWaitDeadline),
          "resume applied");
    check(KivTrace(m, KIV_NO_CLIENT, l, "resumed") == 1, "written after resume");
    const auto records = OwnRecords();
    check(records.size() == 1 && records[0].text == "resumed", "only the record after resume");
  });
}

TEST_F(KivTraceTest, WithoutADispatcherNothingIsWrittenAndTheCallerCarriesOn) {
  InChild([](auto check) {
    int m = -1, l = -1;
    KivGetModuleHandle("M", &m);
    KivGetLabelHandle("L", &l);
    // The rules come from the file even without a dispatcher: the call is
    // enabled, but has nowhere to go.
    check(KivTraceEnabledEx(m, KIV_NO_CLIENT, l) == 1, "enabled by the configuration");
    check(KivTraceConnected() == 0, "not connected");
    check(KivTrace(m, KIV_NO_CLIENT, l, "lost %d", 1) == 0, "not written");
    check(KivTraceText(m, KIV_NO_CLIENT, l, "lost", 4) == 0, "not written");
    uint64_t written = 9, dropped = 0;
    KivGetTraceStatistics(&written, &dropped);
    check(written == 0 && dropped == 2, "counted as not written");
  });
}
