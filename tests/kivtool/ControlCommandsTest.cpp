#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "KivService/ServiceClientFakeDispatcher.h"
#include "KivToolTestSupport.h"

namespace {

struct ControlCommandsTest : ::testing::Test {
  kivtooltest::ToolSandbox s;
  void SetUp() override { std::filesystem::create_directories(s.box.TempDir()); }

  // The dispatcher's events of the kivtool process that ran last, with the
  // pid replaced by "P".
  static std::vector<std::string> ToolEvents(const kivtest::FakeDispatcher& dispatcher) {
    std::vector<std::string> events;
    for (std::string e : dispatcher.Events()) {
      size_t blank = e.find(' ');
      size_t end = e.find(' ', blank + 1);
      events.push_back(e.substr(0, blank) + " P" + (end == std::string::npos ? "" : e.substr(end)));
    }
    return events;
  }
  // Files left in {temp} besides the fake dispatcher's own.
  std::vector<std::string> LeftInTemp() const {
    std::vector<std::string> left;
    for (const auto& name : kivtest::ListDir(s.box.TempDir()))
      if (name.rfind("KivService.", 0) != 0 && name != "KivServerMessageBuffer.map" &&
          name != "KivServerMessageLock.lck" && name != "KivRecordSequenceNumberSeed.map")
        left.push_back(name);
    return left;
  }
};

std::string Banner() { return kivtooltest::kBanner; }

}  // namespace

TEST_F(ControlCommandsTest, EachControlCommandIsConfirmedAndTheToolUnregistersOnExit) {
  kivtest::FakeDispatcher dispatcher;
  struct Case {
    std::vector<std::string> args;
    std::string announcement;
    int code;
  } cases[] = {{{"pause"}, "Pause tracing... ", 1},
               {{"resume"}, "Resume tracing... ", 2},
               {{"reload"}, "Reloading configuration... ", 0},
               {{"preservation", "-ON"}, "Activating preservation mode... ", 3},
               {{"preservation", "-on"}, "Activating preservation mode... ", 3},
               {{"PRESERVATION", "-off"}, "Deactivating preservation mode ...", 4},
               {{"preservation"}, "Deactivating preservation mode ...", 4}};
  size_t seen = 0;
  for (const Case& c : cases) {
    auto r = kivtest::Run("kivtool", c.args);
    EXPECT_EQ(r.exitCode, 0) << c.args[0];
    EXPECT_EQ(r.err, Banner() + c.announcement + "succeeded.\n");
    EXPECT_EQ(r.out, "");
    auto events = ToolEvents(dispatcher);
    ASSERT_EQ(events.size(), seen + 3) << c.args[0];
    EXPECT_EQ(std::vector<std::string>(events.begin() + seen, events.end()),
              (std::vector<std::string>{"register P", "change P " + std::to_string(c.code), "unregister P"}));
    seen = events.size();
    // A clean exit leaves no rings behind.
    EXPECT_TRUE(LeftInTemp().empty());
  }
}

TEST_F(ControlCommandsTest, WithoutADispatcherEachControlCommandFailsWithItsText) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  } cases[] = {
      {{"pause"}, "Pause tracing... Operation failed.\nError description:Pause Tracing...Failed \n\n"},
      {{"resume"}, "Resume tracing... Operation failed.\nError description:Resume Tracing Failed \n\n"},
      {{"reload"},
       "Reloading configuration... Operation failed.\nError description:Reloading Configuration Failed\n"},
      {{"preservation", "-on"},
       "Activating preservation mode... Operation failed.\nError description:Activating preservation mode... "
       " "
       "Failed\n"},
      {{"preservation"},
       "Deactivating preservation mode ...Operation failed.\nError description:Deactivating preservation "
       "mode "
       "... Failed\n"}};
  for (const Case& c : cases) {
    auto r = kivtest::Run("kivtool", c.args);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err, Banner() + c.expected);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(ControlCommandsTest, DispatcherThatNeverAnswersMakesTheCommandFail) {
  kivtest::FakeDispatcher dispatcher;
  dispatcher.confirm = false;
  auto r = kivtest::Run("kivtool", {"pause"});
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_EQ(r.err,
            Banner() + "Pause tracing... Operation failed.\nError description:Pause Tracing...Failed \n\n");
}

TEST_F(ControlCommandsTest, HiddenCommandsAndTheirSyntax) {
  auto quiet = kivtest::Run("kivtool", {"test", "-m", "X"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, Banner());
  EXPECT_EQ(kivtest::Run("kivtool", {"test", "-l", "L"}).out, "");

  auto missing = kivtest::Run("kivtool", {"performance"});
  EXPECT_EQ(missing.exitCode, 255);
  EXPECT_EQ(missing.err.find(Banner() + "Command option not found.\n\nSyntax: kivtool command [options]\n"),
            0u);

  auto performance = kivtest::Run("kivtool", {"performance", "-T", "5"});
  EXPECT_EQ(performance.exitCode, 0);
  EXPECT_EQ(performance.err, Banner() + "Collecting function usage performance number...\n");

  // The help never shows the hidden commands.
  auto help = kivtest::Run("kivtool", {"unknown"});
  EXPECT_EQ(help.exitCode, 255);
  EXPECT_EQ(help.err.find(Banner() + "Invalid command.\n\n"), 0u);
  EXPECT_EQ(help.err.find("test"), std::string::npos);
  EXPECT_EQ(help.err.find("performance"), std::string::npos);
}

TEST_F(ControlCommandsTest, TestCommandShowsHandlesAndTheConfiguredAnswerWithAndWithoutADispatcher) {
  s.box.WriteConfig(
      "<KIVConfig trace=\"1\"><Logfile path=\"$(OLVAN_VORNEL_DIR)/log\" size=\"100\" maxbackups=\"10\" "
      "preserve_size=\"100\" preserve_maxbackups=\"10\"/><Global><GLabel name=\"Flow\" state=\"1\"/>"
      "<GClient name=\"Alice\" state=\"1\"/></Global><Module name=\"Net\" state=\"1\"><MLabel name=\"Io\" "
      "state=\"0\"/></Module></KIVConfig>");
  auto check = [&](const char* when) {
    auto flow = kivtest::Run("kivtool", {"test", "-m", "Net", "-l", "Flow"});
    EXPECT_EQ(flow.exitCode, 0) << when;
    EXPECT_EQ(flow.out,
              "KIV module handle for \"Net\" is 0\nKIV label handle for \"Flow\" is 0\n"
              "KIV tracing status with module \"Net\" and label \"Flow\" is enabled.\n")
        << when;
    EXPECT_EQ(flow.err, Banner()) << when;
    auto io = kivtest::Run("kivtool", {"test", "-M", "Net", "-L", "Io"});
    EXPECT_EQ(io.out,
              "KIV module handle for \"Net\" is 0\nKIV label handle for \"Io\" is 1\n"
              "KIV tracing status with module \"Net\" and label \"Io\" is disabled.\n")
        << when;
    auto alice = kivtest::Run("kivtool", {"test", "-m", "Net", "-l", "Flow", "-c", "Alice"});
    EXPECT_EQ(alice.out,
              "KIV module handle for \"Net\" is 0\nKIV label handle for \"Flow\" is 0\n"
              "KIV tracing status with module \"Net\", client \"Alice\" and label \"Flow\" is enabled.\n")
        << when;
    auto bob = kivtest::Run("kivtool", {"test", "-m", "Net", "-l", "Flow", "-c", "Bob"});
    EXPECT_NE(bob.out.find("client \"Bob\" and label \"Flow\" is disabled.\n"), std::string::npos) << when;
    auto other = kivtest::Run("kivtool", {"test", "-m", "Disk", "-l", "Flow"});
    EXPECT_NE(other.out.find("module \"Disk\" and label \"Flow\" is disabled.\n"), std::string::npos) << when;
  };
  check("without a dispatcher");
  kivtest::FakeDispatcher dispatcher;
  check("with a dispatcher");
  EXPECT_EQ(dispatcher.Count("register " + std::to_string(getpid())), 0u);
  EXPECT_EQ(ToolEvents(dispatcher).size(), 10u);  // five runs, each registered and unregistered
  EXPECT_TRUE(LeftInTemp().empty());
}
