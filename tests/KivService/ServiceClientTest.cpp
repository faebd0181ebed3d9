#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KivANSIAPI/KivFilterManager.h"
#include "KivService/KivServiceClient.h"
#include "KivService/ServiceClientFakeDispatcher.h"
#include "Support/InterProcessLock.h"
#include "TestSupport/Sandbox.h"
#include "TraceData/TraceRecordBuilder.h"

namespace {

const char* kConfigEnabling =
    "<KIVConfig trace=\"1\"><Logfile path=\"$(OLVAN_VORNEL_DIR)/log\" size=\"100\" maxbackups=\"10\" "
    "preserve_size=\"100\" preserve_maxbackups=\"10\"/><Global><GLabel name=\"L\" state=\"1\"/></Global>"
    "<Module name=\"M\" state=\"1\"/></KIVConfig>";
const char* kConfigDisabling =
    "<KIVConfig trace=\"1\"><Logfile path=\"$(OLVAN_VORNEL_DIR)/log\" size=\"100\" maxbackups=\"10\" "
    "preserve_size=\"100\" preserve_maxbackups=\"10\"/><Global><GLabel name=\"L\" state=\"0\"/></Global>"
    "<Module name=\"M\" state=\"1\"/></KIVConfig>";

struct ServiceClientTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  KivFilterManager filter;
  std::string me = std::to_string(getpid());

  void SetUp() override {
    std::filesystem::create_directories(sandbox.TempDir());
    sandbox.WriteConfig(kConfigEnabling);
  }
  std::string MapFile(const std::string& region) const { return sandbox.TempDir() + region + ".map"; }
  std::string OwnRingFile() const { return MapFile("KivServerMessageBuffer" + me); }
  std::string TraceRingFile() const { return MapFile("KivTraceBuffer" + me); }
  bool Enabled() {
    return filter.IsTraceEnabled(filter.GetModuleHandle("M"), KivFilterManager::NoClient,
                                 filter.GetLabelHandle("L"));
  }
};

std::string FailureOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST_F(ServiceClientTest, RegistersReadsTheConfigurationAndUnregistersRemovingItsRings) {
  kivtest::FakeDispatcher dispatcher;
  {
    KivServiceClient client(getpid(), filter);
    EXPECT_EQ(dispatcher.Count("register " + me), 1u);
    EXPECT_TRUE(kivtest::FileExists(OwnRingFile()));
    EXPECT_EQ(std::filesystem::file_size(TraceRingFile()), 1047564u);
    EXPECT_TRUE(Enabled());
    EXPECT_TRUE(filter.CachesInUse());
    // The counter is the dispatcher's, shared with every client.
    EXPECT_EQ(client.NextSequenceNumber(), 0u);
    EXPECT_EQ(client.NextSequenceNumber(), 1u);
    EXPECT_EQ(client.TraceRing().GetFreeRoom(), 1047551u);
  }
  EXPECT_EQ(dispatcher.Count("unregister " + me), 1u);
  EXPECT_FALSE(kivtest::FileExists(OwnRingFile()));
  EXPECT_FALSE(kivtest::FileExists(TraceRingFile()));
}

// Registering again after the dispatcher was killed during a write: the
// records it had written stay behind, the rest move to the new ring, and
// the write (or loss report) it had under way is left to the next
// dispatcher to decide, with the file it went to.
TEST_F(ServiceClientTest, TakeOverCarriesWhatTheKilledDispatcherHadNotWrittenAndLeavesItsWriteInDoubt) {
  kivtest::FakeDispatcher dispatcher;
  for (const bool recordsInFlight : {true, false}) {
    SCOPED_TRACE(recordsInFlight ? "records in flight" : "loss report in flight");
    auto old = std::make_unique<KivServiceClient>(getpid(), filter);
    std::vector<uint8_t> record(TraceRecordBuilder::kMaxRecordSize);
    uint32_t ends[3] = {};  // ring offset after each record
    for (uint32_t i = 0, total = 0; i < 3; ++i) {
      const std::string text(5 + i, 'r');
      TraceRecordFields fields;
      fields.m_SequenceNumber = 10 + i;
      fields.m_MessageText = text;
      const uint32_t size =
          TraceRecordBuilder::BuildRecord(fields, record.data(), static_cast<uint32_t>(record.size()));
      ASSERT_TRUE(old->TraceRing().write(record.data(), size));
      ends[i] = total += size;
    }
    // The dead dispatcher's marks (ring offsets + 1): the first record was in
    // the log, the second being written, or 3 of 5 drops being told.
    ClientLossCounters& was = *old->LossCounters();
    was.m_DrainedTo = ends[0] + 1;
    was.m_WritingTo = (recordsInFlight ? ends[1] : ends[0]) + 1;
    was.m_Device = 5;
    was.m_Inode = 9;
    was.m_FileEnd = 4321;
    was.m_Dropped = 5;
    was.m_Told = 2;
    was.m_Telling = recordsInFlight ? 2 : 5;
    old->Retire();
    KivServiceClient fresh(getpid(), filter, nullptr, old.get());
    old.reset();

    const ClientLossCounters& now = *fresh.LossCounters();
    EXPECT_EQ(now.m_Doubt, recordsInFlight ? ends[1] - ends[0] : 0u);
    EXPECT_EQ(now.m_DoubtTold, recordsInFlight ? 0u : 3u);
    EXPECT_EQ(now.m_DoubtDevice, 5u);
    EXPECT_EQ(now.m_DoubtInode, 9u);
    EXPECT_EQ(now.m_DoubtEnd, 4321u);
    EXPECT_EQ(now.m_Dropped, 3u);  // untold: told before the carried records
    EXPECT_EQ(now.m_Told, 0u);
    EXPECT_EQ(now.m_Written, 2u);
    EXPECT_EQ(1047551u - fresh.TraceRing().GetFreeRoom(), ends[2] - ends[0]);
  }
  EXPECT_EQ(dispatcher.Count("register " + me), 4u);  // each old and fresh client
}

TEST_F(ServiceClientTest, UnconfirmedRegistrationFailsAndTakesItsRegistrationBack) {
  kivtest::FakeDispatcher dispatcher;
  dispatcher.confirm = false;
  EXPECT_EQ(FailureOf([&] { KivServiceClient client(getpid(), filter); }),
            "Bad logic:Timeout waiting registration confirmation");
  EXPECT_FALSE(kivtest::FileExists(OwnRingFile()));
  EXPECT_FALSE(kivtest::FileExists(TraceRingFile()));
  // A dispatcher that was only slow ends up without the client.
  EXPECT_TRUE(kivtest::WaitFor([&] { return dispatcher.Count("unregister " + me) == 1; }));
  EXPECT_EQ(dispatcher.Events(), (std::vector<std::string>{"register " + me, "unregister " + me}));
}

TEST_F(ServiceClientTest, CancelledRegistrationEndsTheWait) {
  kivtest::FakeDispatcher dispatcher;
  dispatcher.confirm = false;
  std::atomic<bool> cancel{true};
  EXPECT_EQ(FailureOf([&] { KivServiceClient client(getpid(), filter, &cancel); }),
            "Bad logic:Timeout waiting registration confirmation");
  EXPECT_TRUE(kivtest::WaitFor([&] { return dispatcher.Count("register " + me) == 1; }));
}

TEST_F(ServiceClientTest, MissingDispatcherFilesFailTheConstructionAndLeaveNothing) {
  // Presence files without the dispatcher's ring and counter.
  EXPECT_NE(FailureOf([&] { KivServiceClient client(getpid(), filter); }), "");
  EXPECT_TRUE(kivtest::ListDir(sandbox.TempDir()).empty());
  {
    KivRecordSequenceGenerator counter(KivRecordSequenceGenerator::Create);
    EXPECT_NE(FailureOf([&] { KivServiceClient client(getpid(), filter); }).find("Unable to open lock file"),
              std::string::npos);
  }
  EXPECT_FALSE(kivtest::FileExists(OwnRingFile()));
  EXPECT_FALSE(kivtest::FileExists(TraceRingFile()));
}

TEST_F(ServiceClientTest, ConfigurationRequestWaitsForTheConfirmation) {
  kivtest::FakeDispatcher dispatcher;
  KivServiceClient client(getpid(), filter);
  client.RequestConfigurationChange(PreservationOn);
  EXPECT_EQ(dispatcher.Count("change " + me + " 3"), 1u);
  dispatcher.confirm = false;
  EXPECT_EQ(FailureOf([&] { client.RequestConfigurationChange(PreservationOff); }),
            "Bad logic:Timeout waiting for confirmation");
  EXPECT_EQ(dispatcher.Count("change " + me + " 4"), 1u);
  dispatcher.confirm = true;
}

TEST_F(ServiceClientTest, BroadcastPauseResumeAndReloadReachTheFilterManager) {
  kivtest::FakeDispatcher dispatcher;
  KivServiceClient client(getpid(), filter);
  ASSERT_TRUE(Enabled());
  // The requester hears its own pause through the dispatcher's broadcast.
  client.RequestConfigurationChange(PauseTracing);
  EXPECT_TRUE(kivtest::WaitFor([&] { return filter.IsPaused(); }));
  EXPECT_FALSE(Enabled());
  client.RequestConfigurationChange(ResumeTracing);
  EXPECT_TRUE(kivtest::WaitFor([&] { return !filter.IsPaused(); }));
  EXPECT_TRUE(Enabled());

  sandbox.WriteConfig(kConfigDisabling);
  client.RequestConfigurationChange(ReloadConfigFile);
  EXPECT_TRUE(kivtest::WaitFor([&] { return !Enabled(); }));
  // The caches are switched back on once the reload has finished, which may
  // be just after the new rules already answer.
  EXPECT_TRUE(kivtest::WaitFor([&] { return filter.CachesInUse(); }));
}

// Remembered answers (the trace call's answer words) never outlive a change:
// an answer asked after a pause, resume, reload or rule change has returned
// is that of the new rules, in every thread, while others keep asking.
TEST_F(ServiceClientTest, RememberedAnswersFollowEveryChangeWhileOtherThreadsAsk) {
  filter.ReloadConfiguration();
  const int m = filter.GetModuleHandle("M"), l = filter.GetLabelHandle("L");
  auto ask = [&] { return filter.IsTraceEnabled(m, KivFilterManager::NoClient, l); };
  // Odd while a change is under way. The changes alternate between
  // disabling and enabling, so in version v the answer is (v / 2) even.
  std::atomic<uint32_t> version{0};
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> askers;
  for (int t = 0; t < 3; ++t)
    askers.emplace_back([&] {
      while (!stop.load()) {
        const uint32_t before = version.load();
        const bool answer = ask();
        if (before % 2 == 0 && version.load() == before && answer != (before / 2 % 2 == 0)) ++wrong;
      }
    });
  const std::vector<std::function<void()>> changes = {
      [&] { filter.SetPaused(true); },
      [&] { filter.SetPaused(false); },
      [&] {
        sandbox.WriteConfig(kConfigDisabling);
        filter.ReloadConfiguration();
      },
      [&] {
        sandbox.WriteConfig(kConfigEnabling);
        filter.ReloadConfiguration();
      },
      [&] { filter.SetModuleStatus("M", 0); },
      [&] { filter.SetModuleStatus("M", 2); },
  };
  for (int round = 0; round < 20; ++round)
    for (size_t i = 0; i < changes.size(); ++i) {
      version.fetch_add(1);
      changes[i]();
      version.fetch_add(1);
      const bool answer = i % 2 == 1;
      EXPECT_EQ(ask(), answer) << "round " << round << " change " << i;
      KivFilterManager::TraceNames names;
      EXPECT_EQ(filter.RememberedAnswer(m, l, names),
                answer ? KivFilterManager::Answer::Enabled : KivFilterManager::Answer::Disabled);
      if (answer) {
        EXPECT_TRUE(names.module == "M" && names.label == "L" && !names.hasClient);
      }
    }
  stop = true;
  for (auto& t : askers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ServiceClientTest, MessageHandlerAppliesEachKindAndOnlyASuccessConfirms) {
  std::atomic<int> confirmation{0};
  KivServiceClient::MessageHandler handler{&confirmation, &filter};
  filter.ReloadConfiguration();
  ASSERT_TRUE(Enabled());

  MessageRuntimeConfigurationChange pause(1, PauseTracing), resume(1, ResumeTracing),
      other(1, PreservationOn);
  handler.Handle(&pause, sizeof pause);
  EXPECT_TRUE(filter.IsPaused());
  handler.Handle(&other, sizeof other);  // preservation is the dispatcher's business
  EXPECT_TRUE(filter.IsPaused());
  handler.Handle(&resume, sizeof resume);
  EXPECT_FALSE(filter.IsPaused());

  // Pings and unknown types change nothing.
  MessageHeader ping{1, MessageTypePing, 0}, unknown{1, 99, 0};
  handler.Handle(&ping, 8);
  handler.Handle(&unknown, sizeof unknown);
  EXPECT_EQ(confirmation.load(), 0);
  EXPECT_TRUE(Enabled());

  MessageConfirmation refused(ConfirmConfigChange);
  refused.m_Confirmed = 0;
  handler.Handle(&refused, sizeof refused);
  EXPECT_EQ(confirmation.load(), 2);
  MessageConfirmation shortOne(ConfirmConfigChange);
  handler.Handle(&shortOne, sizeof(MessageHeader));  // no m_Confirmed byte on the wire
  EXPECT_EQ(confirmation.load(), 2);
  MessageConfirmation good(ConfirmConfigChange);
  handler.Handle(&good, sizeof good);
  EXPECT_EQ(confirmation.load(), 1);
}

TEST_F(ServiceClientTest, DamagedOwnRingIsResetAndLaterMessagesStillArrive) {
  kivtest::FakeDispatcher dispatcher;
  KivServiceClient client(getpid(), filter);
  {
    SharedMemory ring("KivServerMessageBuffer" + me);
    uint32_t garbage[3] = {0xFFFFFFF0u, 7, 3};
    std::memcpy(ring.Data(), garbage, sizeof garbage);
  }
  // The service-client thread meets the damage and resets the ring; the
  // pause sent afterwards is applied.
  EXPECT_TRUE(kivtest::WaitFor([&] {
    SharedMemory ring("KivServerMessageBuffer" + me);
    return CircularMemoryBuffer(ring.Data(), ring.Length()).IsHeaderValid();
  }));
  client.RequestConfigurationChange(PauseTracing);
  EXPECT_TRUE(kivtest::WaitFor([&] { return filter.IsPaused(); }));
}

TEST_F(ServiceClientTest, MessageLockOfACrashedHolderDoesNotBlockRequests) {
  kivtest::FakeDispatcher dispatcher;
  KivServiceClient client(getpid(), filter);
  // A process dies while it holds the message lock.
  int rc = kivtest::RunInChild([] {
    InterProcessLock lock(KivMessageBuffers::kMessageLockName, false);
    lock.Lock();
    raise(SIGKILL);
    return 0;
  });
  EXPECT_EQ(rc, 128 + SIGKILL);
  client.RequestConfigurationChange(PreservationOff);
  EXPECT_EQ(dispatcher.Count("change " + me + " 4"), 1u);
}
