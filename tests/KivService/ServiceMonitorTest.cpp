#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "KivANSIAPI/KivFilterManager.h"
#include "KivService/KivServiceMonitor.h"
#include "KivService/ServiceClientFakeDispatcher.h"
#include "TestSupport/Sandbox.h"

namespace {

struct Counted {
  explicit Counted(int* destroyed) : destroyed(destroyed) {}
  ~Counted() { ++*destroyed; }
  int* destroyed;
};

struct ServiceMonitorTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  std::string me = std::to_string(getpid());
  void SetUp() override { std::filesystem::create_directories(sandbox.TempDir()); }
  std::string Events(const std::string& file) const {
    return kivtest::FileExists(file) ? kivtest::ReadFile(file) : "";
  }
};

bool Connected(LockablePointer<KivServiceClient>& pointer) {
  return static_cast<bool>(AutoLockingPointer<KivServiceClient>(pointer));
}
uint32_t ConnectedTo(LockablePointer<KivServiceClient>& pointer) {
  AutoLockingPointer<KivServiceClient> client(pointer);
  return client ? client->DispatcherPid() : 0;
}

}  // namespace

TEST(LockablePointer, OwnsItsObjectAndExcludesOtherHolders) {
  int destroyed = 0;
  {
    LockablePointer<Counted> pointer;
    {
      AutoLockingPointer<Counted> held(pointer);
      EXPECT_FALSE(held);
      held.Reset(std::make_unique<Counted>(&destroyed));
      EXPECT_TRUE(held);
      // Another thread cannot get in while the lock is held.
      bool got = true;
      std::thread([&] { got = AutoLockingPointer<Counted>(pointer, std::try_to_lock).OwnsLock(); }).join();
      EXPECT_FALSE(got);
      held.Reset(std::make_unique<Counted>(&destroyed));
      EXPECT_EQ(destroyed, 1);  // replacing destroys the previous object
    }
    AutoLockingPointer<Counted> again(pointer, std::try_to_lock);
    EXPECT_TRUE(again.OwnsLock());
    EXPECT_TRUE(again);
  }
  EXPECT_EQ(destroyed, 2);  // the last one goes with the pointer
}

TEST_F(ServiceMonitorTest, RegistersWhenTheDispatcherStartsLater) {
  KivFilterManager filter;
  LockablePointer<KivServiceClient> client;
  MultiThreadedKivServiceMonitor monitor(filter, client);
  EXPECT_FALSE(Connected(client));
  {
    kivtest::FakeDispatcher dispatcher;
    EXPECT_TRUE(kivtest::WaitFor([&] { return Connected(client); }));
    EXPECT_EQ(dispatcher.Count("register " + me), 1u);
    EXPECT_EQ(monitor.Monitor().DispatcherPid(), static_cast<uint32_t>(getpid()));
    // The service client goes with whoever closes; here the test.
    AutoLockingPointer<KivServiceClient>(client).Reset();
    EXPECT_EQ(dispatcher.Count("unregister " + me), 1u);
  }
}

TEST_F(ServiceMonitorTest, FirstCheckIsSynchronousAndAFailedRegistrationIsRetried) {
  KivFilterManager filter;
  LockablePointer<KivServiceClient> client;
  kivtest::FakeDispatcher dispatcher;
  {
    MultiThreadedKivServiceMonitor monitor(filter, client);
    EXPECT_TRUE(Connected(client));  // registered before the constructor returned
  }
  AutoLockingPointer<KivServiceClient>(client).Reset();

  dispatcher.confirm = false;
  MultiThreadedKivServiceMonitor monitor(filter, client);
  EXPECT_FALSE(Connected(client));
  dispatcher.confirm = true;
  EXPECT_TRUE(kivtest::WaitFor([&] { return Connected(client); }));
  AutoLockingPointer<KivServiceClient>(client).Reset();
}

TEST_F(ServiceMonitorTest, KilledDispatcherIsDroppedWithoutUnregistrationAndASuccessorIsJoined) {
  std::string firstLog = sandbox.Dir() + "/first.log", secondLog = sandbox.Dir() + "/second.log";
  pid_t first = kivtest::StartFakeDispatcherProcess(firstLog);
  ASSERT_GT(first, 0);
  KivFilterManager filter;
  LockablePointer<KivServiceClient> client;
  auto monitor = std::make_unique<MultiThreadedKivServiceMonitor>(filter, client);
  EXPECT_EQ(ConnectedTo(client), static_cast<uint32_t>(first));
  EXPECT_EQ(Events(firstLog), "register " + me + "\n");

  kivtest::KillChild(first);
  EXPECT_TRUE(kivtest::WaitFor([&] { return !Connected(client); }));
  EXPECT_EQ(monitor->Monitor().DispatcherPid(), 0u);
  // Nobody was left to confirm an un-registration; none was sent.
  EXPECT_EQ(Events(firstLog), "register " + me + "\n");
  EXPECT_FALSE(kivtest::FileExists(sandbox.TempDir() + "KivServerMessageBuffer" + me + ".map"));

  pid_t second = kivtest::StartFakeDispatcherProcess(secondLog);
  ASSERT_GT(second, 0);
  EXPECT_TRUE(kivtest::WaitFor([&] { return ConnectedTo(client) == static_cast<uint32_t>(second); }));
  EXPECT_EQ(Events(secondLog), "register " + me + "\n");

  monitor.reset();
  AutoLockingPointer<KivServiceClient>(client).Reset();
  EXPECT_EQ(Events(secondLog), "register " + me + "\nunregister " + me + "\n");
  kivtest::KillChild(second);
}

TEST_F(ServiceMonitorTest, ProxyCloseStopsTheMonitorAndUnregisters) {
  sandbox.WriteConfig(
      "<KIVConfig trace=\"1\"><Logfile path=\"/tmp\" size=\"1\" maxbackups=\"1\" preserve_size=\"1\" "
      "preserve_maxbackups=\"1\"/><Global><GLabel name=\"L\" state=\"1\"/></Global><Module name=\"M\" "
      "state=\"1\"/></KIVConfig>");
  kivtest::FakeDispatcher dispatcher;
  auto owned = std::make_unique<KivFilterManager>();
  KivFilterManager& filter = *owned;
  KivServiceMonitorProxy proxy(std::move(owned));
  // The configuration is read at creation, dispatcher or not.
  EXPECT_TRUE(filter.IsTraceEnabled(filter.GetModuleHandle("M"), KivFilterManager::NoClient,
                                    filter.GetLabelHandle("L")));
  EXPECT_THROW(proxy.RequestConfigurationChange(PauseTracing), std::logic_error);

  proxy.CreateMonitorOnDemand();
  EXPECT_TRUE(proxy.IsMonitorCreated());
  EXPECT_TRUE(proxy.IsConnected());
  proxy.RequestConfigurationChange(PreservationOn);
  EXPECT_EQ(dispatcher.Count("change " + me + " 3"), 1u);

  proxy.Close();
  EXPECT_FALSE(proxy.IsMonitorCreated());
  EXPECT_FALSE(proxy.IsConnected());
  EXPECT_EQ(dispatcher.Count("unregister " + me), 1u);
  try {
    proxy.RequestConfigurationChange(PauseTracing);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Bad logic:KIV Dispatching service is not running.");
  }
  // A new use starts a new monitor, which registers again.
  proxy.CreateMonitorOnDemand();
  EXPECT_TRUE(proxy.IsConnected());
  EXPECT_EQ(dispatcher.Count("register " + me), 2u);
}
