#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KivConfigFileReader/ConfigServer.h"

using ::testing::ElementsAre;

namespace {

// A client that records its name in a shared journal and then runs an
// optional action (which may throw or destroy other clients).
class Recorder : public ConfigServer::Client {
 public:
  Recorder(ConfigServer& server, std::vector<std::string>& journal, std::string name,
           std::function<void()> action = {})
      : Client(server), m_Journal(journal), m_Name(std::move(name)), m_Action(std::move(action)) {}
  void OnConfigChanged() override {
    m_Journal.push_back(m_Name + ":" + std::to_string(Server()->Config().m_MaxBackups));
    if (m_Action) m_Action();
  }

 private:
  std::vector<std::string>& m_Journal;
  std::string m_Name;
  std::function<void()> m_Action;
};

}  // namespace

TEST(ConfigServer, BroadcastWithoutClientsDoesNothing) {
  ConfigServer server;
  server.BroadcastConfigChange();
  EXPECT_EQ(server.ClientCount(), 0u);
}

TEST(ConfigServer, ClientsAreToldInRegistrationOrderAndSeeTheSettings) {
  ConfigServer server;
  std::vector<std::string> journal;
  Recorder a(server, journal, "A");
  Recorder b(server, journal, "B");
  {
    Recorder c(server, journal, "C");
    server.Config().m_MaxBackups = 5;
    server.BroadcastConfigChange();
  }
  server.Config().m_PreservationMode = true;
  server.Config().m_MaxBackups = 6;
  server.BroadcastConfigChange();
  server.BroadcastConfigChange();
  EXPECT_THAT(journal, ElementsAre("A:5", "B:5", "C:5", "A:6", "B:6", "A:6", "B:6"));
  EXPECT_EQ(server.ClientCount(), 2u);
}

TEST(ConfigServer, AThrowingClientDoesNotStopTheOthers) {
  ConfigServer server;
  std::vector<std::string> journal;
  Recorder a(server, journal, "A", [] { throw std::runtime_error("boom"); });
  Recorder b(server, journal, "B", [] { throw 42; });
  Recorder c(server, journal, "C");
  EXPECT_NO_THROW(server.BroadcastConfigChange());
  // The lock was given back: registering and broadcasting again work.
  Recorder d(server, journal, "D");
  server.BroadcastConfigChange();
  EXPECT_THAT(journal, ElementsAre("A:0", "B:0", "C:0", "A:0", "B:0", "C:0", "D:0"));
}

TEST(ConfigServer, HandlersMayDestroyClientsOfTheSameServer) {
  ConfigServer server;
  std::vector<std::string> journal;
  std::unique_ptr<Recorder> first, self, later;
  first = std::make_unique<Recorder>(server, journal, "first");
  // The middle client destroys an earlier one, itself and a later one.
  self = std::make_unique<Recorder>(server, journal, "self", [&] {
    first.reset();
    later.reset();
    self.reset();
  });
  later = std::make_unique<Recorder>(server, journal, "later");
  Recorder last(server, journal, "last");

  server.BroadcastConfigChange();
  EXPECT_THAT(journal, ElementsAre("first:0", "self:0", "last:0"));
  EXPECT_EQ(server.ClientCount(), 1u);
  journal.clear();
  server.BroadcastConfigChange();
  EXPECT_THAT(journal, ElementsAre("last:0"));
}

TEST(ConfigServer, ClientsCreatedDuringABroadcastAreToldNextTime) {
  ConfigServer server;
  std::vector<std::string> journal;
  std::vector<std::unique_ptr<Recorder>> made;
  Recorder maker(server, journal, "maker", [&] {
    made.push_back(std::make_unique<Recorder>(server, journal, "new" + std::to_string(made.size())));
  });
  server.BroadcastConfigChange();
  EXPECT_THAT(journal, ElementsAre("maker:0"));
  journal.clear();
  server.BroadcastConfigChange();
  EXPECT_THAT(journal, ElementsAre("maker:0", "new0:0"));
}

TEST(ConfigServer, ABroadcastFromInsideAHandlerIsRefusedNotDeadlocked) {
  ConfigServer server;
  std::vector<std::string> journal;
  std::atomic<bool> refused{false};
  Recorder a(server, journal, "A", [&] {
    try {
      server.BroadcastConfigChange();
    } catch (const std::logic_error&) {
      refused = true;
    }
  });
  Recorder b(server, journal, "B");
  server.BroadcastConfigChange();
  EXPECT_TRUE(refused);
  EXPECT_THAT(journal, ElementsAre("A:0", "B:0"));
}

TEST(ConfigServer, ADisconnectedClientIsNoLongerTold) {
  ConfigServer server;
  std::vector<std::string> journal;
  struct Late : Recorder {
    Late(ConfigServer& s, std::vector<std::string>& j) : Recorder(s, j, "late") {}
    void Leave() {
      Disconnect();
      Disconnect();
    }
    void Join() { Connect(); }
  } late(server, journal);
  Recorder other(server, journal, "other");
  late.Leave();
  server.BroadcastConfigChange();
  late.Join();
  late.Join();
  server.BroadcastConfigChange();
  EXPECT_THAT(journal, ElementsAre("other:0", "other:0", "late:0"));
}

TEST(ConfigServer, OtherThreadsRegisterAndLeaveWhileBroadcastsRun) {
  ConfigServer server;
  std::atomic<int> notified{0};
  // Made and destroyed while the main thread broadcasts: connects only
  // once complete and disconnects before its members go.
  struct Counter : ConfigServer::Client {
    Counter(ConfigServer& s, std::atomic<int>& n) : Client(s, false), count(n) {
      alive = std::make_unique<int>(1);
      Connect();
    }
    ~Counter() override {
      Disconnect();
      alive.reset();
    }
    void OnConfigChanged() override { count += *alive; }
    std::atomic<int>& count;
    std::unique_ptr<int> alive;
  };
  Counter stable(server, notified);
  std::atomic<bool> stop{false};
  std::vector<std::thread> churn;
  for (int t = 0; t < 3; ++t)
    churn.emplace_back([&] {
      while (!stop) Counter temporary(server, notified);
    });
  for (int i = 0; i < 200; ++i) server.BroadcastConfigChange();
  stop = true;
  for (auto& t : churn) t.join();
  EXPECT_GE(notified.load(), 200);
  EXPECT_EQ(server.ClientCount(), 1u);
}
