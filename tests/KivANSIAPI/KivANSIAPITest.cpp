// The client API across real processes: every test runs the API in forked
// children (the process-wide proxy lives once per process), and the test
// process plays the dispatcher when one is needed.

#include "KivANSIAPI/KivANSIAPI.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>

#include "KivANSIAPI/KivClientProcess.h"
#include "KivService/ServiceClientFakeDispatcher.h"
#include "Support/Logging.h"
#include "TestSupport/Sandbox.h"

namespace {

const char* kRules =
    "<KIVConfig trace=\"1\"><Logfile path=\"$(OLVAN_VORNEL_DIR)/log\" size=\"100\" maxbackups=\"10\" "
    "preserve_size=\"100\" preserve_maxbackups=\"10\"/>"
    "<Global><GLabel name=\"Everywhere\" state=\"1\"/><GLabel name=\"Shared\" state=\"0\"/>"
    "<GClient name=\"Alice\" state=\"1\"><GClientLabel name=\"Shared\" state=\"1\"/></GClient>"
    "<GClient name=\"Carol\" state=\"0\"/></Global>"
    "<Module name=\"Net\" state=\"1\"><MLabel name=\"Everywhere\" state=\"0\"/>"
    "<MClient name=\"Bob\" state=\"1\"/></Module>"
    "<Module name=\"Disk\" state=\"1\"/>"
    "<Module name=\"Off\" state=\"0\"><MLabel name=\"Everywhere\" state=\"1\"/></Module></KIVConfig>";

struct ApiTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  void SetUp() override {
    std::filesystem::create_directories(sandbox.TempDir());
    sandbox.WriteConfig(kRules);
  }
  std::string Path(const std::string& name) const { return sandbox.Dir() + "/" + name; }
};

// Runs `body` in a forked child and returns what it produced.
std::string InChild(const std::function<std::string()>& body) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  pid_t child = kivtest::StartChild([&] {
    std::string text = body();
    return write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
  });
  close(out[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int rc = kivtest::WaitChild(child);
  return rc == 0 ? text : "child failed with " + std::to_string(rc);
}

int Module(const char* name) {
  int handle = -1;
  return KivGetModuleHandle(name, &handle) == 0 ? handle : -100;
}
int Label(const char* name) {
  int handle = -1;
  return KivGetLabelHandle(name, &handle) == 0 ? handle : -100;
}
// "module/label=answer" or "module/client/label=answer"; a client is
// registered with the module under the number of its name's first letter.
std::string Ask(const char* module, const char* label, const char* client = nullptr) {
  int m = Module(module);
  uint32_t number = KIV_NO_CLIENT;
  std::string key = std::string(module) + "/";
  if (client) {
    number = static_cast<uint32_t>(client[0] - 'A' + 1);
    KivRegisterClient(m, number, client);
    key += std::string(client) + "/";
  }
  return key + label + "=" + std::to_string(KivTraceEnabledEx(m, number, Label(label))) + " ";
}

bool WaitForFile(const std::string& path) {
  return kivtest::WaitFor([&] { return kivtest::FileExists(path); }, kivtest::kProcessWaitDeadline);
}

}  // namespace

TEST_F(ApiTest, PrecedenceOfTheConfiguredRules) {
  std::string answers = InChild([] {
    std::string r;
    for (auto [module, label, client] :
         std::initializer_list<std::tuple<const char*, const char*, const char*>>{
             {"Ghost", "Everywhere", nullptr},
             {"Off", "Everywhere", nullptr},
             {"Disk", "Everywhere", nullptr},
             {"Net", "Everywhere", nullptr},
             {"Disk", "Shared", nullptr},
             {"Disk", "Shared", "Alice"},
             {"Disk", "Everywhere", "Alice"},
             {"Net", "Shared", "Bob"},
             {"Disk", "Everywhere", "Carol"},
             {"Disk", "Everywhere", "Dave"}})
      r += Ask(module, label, client);
    return r;
  });
  EXPECT_EQ(answers,
            "Ghost/Everywhere=0 "        // a module no rule names
            "Off/Everywhere=0 "          // a module whose rules are switched off
            "Disk/Everywhere=1 "         // GLabel
            "Net/Everywhere=0 "          // MLabel overrides GLabel in its module only
            "Disk/Shared=0 "             // GLabel disabled
            "Disk/Alice/Shared=1 "       // GClientLabel ORed in at the GLabel position
            "Disk/Alice/Everywhere=1 "   // an enabled client inherits the module's label
            "Net/Bob/Shared=0 "          // MClient enables Bob, nothing enables the label
            "Disk/Carol/Everywhere=0 "   // a client disabled by GClient
            "Disk/Dave/Everywhere=0 ");  // a client no rule enables
}

TEST_F(ApiTest, HandlesClientNumbersAndBadArguments) {
  std::string result = InChild([] {
    std::string r;
    auto add = [&](const std::string& name, long value) { r += name + "=" + std::to_string(value) + " "; };
    add("sameModule", Module("Disk") == Module("Disk"));
    add("caseMatters", Module("Disk") != Module("disk"));
    add("sameLabel", Label("Everywhere") == Label("Everywhere"));
    add("labelCase", Label("Everywhere") != Label("EVERYWHERE"));
    int disk = Module("Disk"), everywhere = Label("Everywhere");
    KivRegisterClient(disk, 5, "Alice");
    add("registered", KivTraceEnabledEx(disk, 5, everywhere));
    add("unregistered", KivTraceEnabledEx(disk, 6, everywhere));
    add("firstKept", (KivRegisterClient(disk, 5, "Carol"), KivTraceEnabledEx(disk, 5, everywhere)));
    add("neverIssued", KivTraceEnabledEx(1000, KIV_NO_CLIENT, everywhere) +
                           KivTraceEnabledEx(disk, KIV_NO_CLIENT, 1000) +
                           KivTraceEnabledEx(-1, KIV_NO_CLIENT, -1) + KivTraceEnabledEx(1000, 5, 1000));
    int handle = 0;
    add("nullName", KivGetModuleHandle(nullptr, &handle));
    add("nullOut", KivGetModuleHandle("Disk", nullptr));
    add("nullLabel", KivGetLabelHandle("Everywhere", nullptr) + KivGetLabelHandle(nullptr, &handle));
    add("nullClient", KivRegisterClient(disk, 7, nullptr));
    return r;
  });
  EXPECT_EQ(result,
            "sameModule=1 caseMatters=1 sameLabel=1 labelCase=1 registered=1 unregistered=0 firstKept=1 "
            "neverIssued=0 nullName=-1 nullOut=-1 nullLabel=-2 nullClient=-1 ");
}

TEST_F(ApiTest, WithoutADispatcherControlRequestsFailAndFilteringStillWorks) {
  setenv("DIAGNOSTIC_MODE", "1", 1);
  std::string result = InChild([] {
    Logging::ResetDiagnosticModeForTesting();
    return std::to_string(KivPause()) + " " + std::to_string(KivResume()) + " " +
           std::to_string(KivPreservationOn()) + " " + Ask("Disk", "Everywhere");
  });
  unsetenv("DIAGNOSTIC_MODE");
  EXPECT_EQ(result, "-1 -1 -1 Disk/Everywhere=1 ");
  EXPECT_NE(
      kivtest::ReadFile(sandbox.TempDir() + "trace.txt").find("KIV Dispatching service is not running."),
      std::string::npos);
}

TEST_F(ApiTest, ProcessRegistersWhenTheDispatcherStartsLaterAndUnregistersAtExit) {
  std::string ready = Path("ready"), stop = Path("stop");
  pid_t client = kivtest::StartChild([&] {
    if (Module("Disk") < 0) return 1;
    if (KivClientProcess::Proxy().IsConnected()) return 2;
    kivtest::WriteFile(ready, "");
    if (!WaitForFile(stop)) return 3;
    // Registered as soon as the dispatcher confirms; stored a moment later.
    if (!kivtest::WaitFor([] { return KivClientProcess::Proxy().IsConnected(); },
                          kivtest::kProcessWaitDeadline))
      return 4;
    std::exit(0);  // a normal end: the exit handler un-registers
  });
  ASSERT_TRUE(WaitForFile(ready));
  kivtest::FakeDispatcherProcess dispatcher(Path("dispatcher"));
  ASSERT_GT(dispatcher.Pid(), 0);
  EXPECT_TRUE(kivtest::WaitFor([&] { return dispatcher.IsRegistered(static_cast<uint32_t>(client)); },
                               kivtest::kProcessWaitDeadline));
  kivtest::WriteFile(stop, "");
  EXPECT_EQ(kivtest::WaitChild(client), 0);
  std::string pid = std::to_string(client);
  EXPECT_EQ(dispatcher.Events(), (std::vector<std::string>{"register " + pid, "unregister " + pid}));
  EXPECT_FALSE(kivtest::FileExists(sandbox.TempDir() + "KivServerMessageBuffer" + pid + ".map"));
  EXPECT_FALSE(kivtest::FileExists(sandbox.TempDir() + "KivTraceBuffer" + pid + ".map"));
}

TEST_F(ApiTest, PauseFromOneProcessReachesAnotherUntilResume) {
  kivtest::FakeDispatcherProcess dispatcher(Path("dispatcher"));
  ASSERT_GT(dispatcher.Pid(), 0);
  std::string ready = Path("ready"), paused = Path("paused"), resumed = Path("resumed");
  pid_t observer = kivtest::StartChild([&] {
    int disk = Module("Disk"), everywhere = Label("Everywhere");
    if (KivTraceEnabledEx(disk, KIV_NO_CLIENT, everywhere) != 1) return 1;
    kivtest::WriteFile(ready, "");
    if (!kivtest::WaitFor([&] { return KivTraceEnabledEx(disk, KIV_NO_CLIENT, everywhere) == 0; },
                          kivtest::kProcessWaitDeadline))
      return 2;
    kivtest::WriteFile(paused, "");
    if (!kivtest::WaitFor([&] { return KivTraceEnabledEx(disk, KIV_NO_CLIENT, everywhere) == 1; },
                          kivtest::kProcessWaitDeadline))
      return 3;
    kivtest::WriteFile(resumed, "");
    return 0;
  });
  pid_t requester = kivtest::StartChild([&] {
    if (!WaitForFile(ready)) return 1;
    if (KivPause() != 0) return 2;
    if (!WaitForFile(paused)) return 3;
    if (KivResume() != 0) return 4;
    return 0;
  });
  EXPECT_EQ(kivtest::WaitChild(requester), 0);
  EXPECT_EQ(kivtest::WaitChild(observer), 0);
  std::string pid = std::to_string(requester);
  EXPECT_EQ(dispatcher.Count("change " + pid + " 1"), 1u);
  EXPECT_EQ(dispatcher.Count("change " + pid + " 2"), 1u);
}

TEST_F(ApiTest, ForkingUnregistersAndBothProcessesRegisterAgain) {
  kivtest::FakeDispatcherProcess dispatcher(Path("dispatcher"));
  ASSERT_GT(dispatcher.Pid(), 0);
  std::string childPidFile = Path("child");
  pid_t parent = kivtest::StartChild([&] {
    const int disk = Module("Disk"), everywhere = Label("Everywhere");
    if (disk < 0 || !KivClientProcess::Proxy().IsConnected()) return 1;
    // An answer remembered before the fork: asked again after it, it must
    // still start the monitor (registration) in both processes.
    auto askAgain = [&] {
      return KivTraceEnabledEx(disk, KIV_NO_CLIENT, everywhere) == 1 &&
             KivClientProcess::Proxy().IsConnected();
    };
    if (KivTraceEnabledEx(disk, KIV_NO_CLIENT, everywhere) != 1) return 1;
    pid_t child = fork();
    if (child == 0) {
      kivtest::WriteFile(childPidFile, std::to_string(getpid()));
      std::exit(askAgain() ? 0 : 1);
    }
    bool again = askAgain();
    if (kivtest::WaitChild(child) != 0 || !again) return 2;
    std::exit(0);
  });
  EXPECT_EQ(kivtest::WaitChild(parent), 0);
  std::string p = std::to_string(parent), c = kivtest::ReadFile(childPidFile);
  EXPECT_EQ(dispatcher.Count("register " + p), 2u);
  EXPECT_EQ(dispatcher.Count("unregister " + p), 2u);
  EXPECT_EQ(dispatcher.Count("register " + c), 1u);
  EXPECT_EQ(dispatcher.Count("unregister " + c), 1u);
  EXPECT_EQ(dispatcher.Events().size(), 6u);
  EXPECT_EQ(dispatcher.Events()[1], "unregister " + p);  // before the fork
}

TEST_F(ApiTest, CApplicationUsesTheSharedLibrary) {
  auto r = kivtest::Run("CProgram", {"Disk", "Shared", "Alice"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "module 1 label 1 plain 0 client 1 pause -1\n");
  kivtest::FakeDispatcherProcess dispatcher(Path("dispatcher"));
  ASSERT_GT(dispatcher.Pid(), 0);
  r = kivtest::Run("CProgram", {"Net", "Everywhere", "Bob"});
  EXPECT_EQ(r.out, "module 0 label 0 plain 0 client 0 pause 0\n");
  EXPECT_EQ(dispatcher.Events().size(), 3u);  // registered, paused, unregistered at exit
}

TEST_F(ApiTest, TraceQueriesDoNotWaitForAConfigurationRequest) {
  kivtest::FakeDispatcherProcess dispatcher(Path("dispatcher"));
  ASSERT_GT(dispatcher.Pid(), 0);
  std::string result = InChild([] {
    int disk = Module("Disk"), everywhere = Label("Everywhere");
    KivTraceEnabledEx(disk, KIV_NO_CLIENT, everywhere);  // cached from here on
    // A control request holds the service-client lock for up to two seconds;
    // here it is held for good, and the question must still be answered.
    LockablePointer<KivServiceClient>& client = KivClientProcess::Proxy().ServiceClientPointer();
    client.Lock();
    std::atomic<int> answer{-1};
    std::thread([&] { answer = KivTraceEnabledEx(disk, KIV_NO_CLIENT, everywhere); }).detach();
    bool answered = kivtest::WaitFor([&] { return answer.load() != -1; }, kivtest::kProcessWaitDeadline);
    std::string r = answered ? std::to_string(answer.load()) : "blocked";
    client.Unlock();
    return r;
  });
  EXPECT_EQ(result, "1");
}
