// The server manager and the per-client trace servers in this process, with
// protocol clients standing in for client processes.

#include "KivService/KivServerManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "KivService/ClientLossCounters.h"
#include "KivService/KivServerLogReader.h"
#include "KivService/KivServiceTestSupport.h"
#include "KivService/MessageHandler.h"
#include "Support/SharedMemory.h"
#include "TestSupport/ProtocolClient.h"
#include "TraceData/ControlEvents.h"
#include "TraceService/TraceService.h"

using kivtest::ProtocolClient;
using ::testing::HasSubstr;

namespace {
const uint32_t kSelf = static_cast<uint32_t>(getpid());

struct KivServerManagerTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  std::string logDir = sandbox.Dir() + "/log/";
  StatusReport::Collector collector;
  ConfigServer config;
  std::unique_ptr<KivServerManager> manager;

  void SetUp() override {
    std::filesystem::create_directories(sandbox.TempDir());
    std::filesystem::create_directories(logDir);
    Start(kivtest::BinaryLogConfig());
  }
  void Start(const std::string& xml) {
    sandbox.WriteConfig(xml);
    ReadKivServerConfig(config.Config(), sandbox.ConfigFile());
    manager = std::make_unique<KivServerManager>(collector, config);
    config.BroadcastConfigChange();
  }
  void TearDown() override { manager.reset(); }

  kivtest::LogContents Log() { return kivtest::ReadBinaryLog(logDir); }
  // The client's loss-counter map file, as the client library keeps it.
  static std::string CountersFile() { return SharedMemory::FilePath(ClientLossCounters::Name(kSelf)); }
  static void WriteCounters(const ClientLossCounters& counters) {
    kivtest::WriteFile(CountersFile(),
                       std::string(reinterpret_cast<const char*>(&counters), sizeof counters));
  }
  // Registers this process with a counters file as a new client makes
  // it; the counters stay mapped for the test.
  std::unique_ptr<SharedMemory> countersMap;
  ClientLossCounters& RegisterWithCounters() {
    ClientLossCounters counters{};
    counters.m_Magic = ClientLossCounters::kMagic;
    WriteCounters(counters);
    manager->Register(kSelf);
    countersMap = std::make_unique<SharedMemory>(ClientLossCounters::Name(kSelf));
    return *reinterpret_cast<ClientLossCounters*>(countersMap->Data());
  }
  // Runs the cleanup pass until `pid` is gone.
  bool WaitRemoved(uint32_t pid) {
    return kivtest::WaitFor([&] {
      manager->Worker();
      return !manager->HasClient(pid);
    });
  }
};
}  // namespace

TEST_F(KivServerManagerTest, RegistrationWithMissingOrUnusableRingsIsRefusedAndNothingElseChanges) {
  const std::string temp = sandbox.TempDir();
  EXPECT_ANY_THROW(manager->Register(kSelf));  // no rings at all

  // Message ring right, trace ring too small.
  kivtest::WriteFile(temp + "KivServerMessageBuffer" + std::to_string(kSelf) + ".map",
                     std::string(524, '\0'));
  kivtest::WriteFile(temp + "KivTraceBuffer" + std::to_string(kSelf) + ".map", std::string(1000, '\0'));
  EXPECT_ANY_THROW(manager->Register(kSelf));
  // Right size, but a header that was never written.
  kivtest::WriteFile(temp + "KivTraceBuffer" + std::to_string(kSelf) + ".map", std::string(1047564, '\0'));
  try {
    manager->Register(kSelf);
    ADD_FAILURE() << "a ring without a header was accepted";
  } catch (const std::exception& e) {
    EXPECT_THAT(e.what(), HasSubstr("damaged header"));
  }
  EXPECT_EQ(manager->ClientCount(), 0u);
  EXPECT_EQ(kivtest::Connections(collector), 0);
  // A refused client does not make the dispatcher open a log file.
  EXPECT_TRUE(kivtest::ListDir(logDir).empty());
  std::filesystem::remove(temp + "KivServerMessageBuffer" + std::to_string(kSelf) + ".map");
  std::filesystem::remove(temp + "KivTraceBuffer" + std::to_string(kSelf) + ".map");

  // The manager goes on working for a proper client.
  ProtocolClient client;
  manager->Register(kSelf);
  client.Poll();
  EXPECT_EQ(client.CountMessages(MessageTypeConfirmation, ConfirmRegistration), 1u);
  EXPECT_EQ(manager->ClientCount(), 1u);
  EXPECT_THROW(manager->Add(0), std::exception);
}

TEST_F(KivServerManagerTest, SecondRegistrationIsConfirmedAgainAndKeepsOneServer) {
  ProtocolClient client;
  manager->Register(kSelf);
  manager->Register(kSelf);
  client.Poll();
  EXPECT_EQ(client.CountMessages(MessageTypeConfirmation, ConfirmRegistration), 2u);
  EXPECT_EQ(manager->ClientCount(), 1u);
  EXPECT_EQ(kivtest::Connections(collector), 1);
  EXPECT_EQ(Log().Controls(TracePacketShared::ClientAttached).size(), 1u);
}

TEST_F(KivServerManagerTest, RecordsGoOutAsBlocksOfTheClientAndUnregistrationLeavesTheFilesToTheClient) {
  auto client = std::make_unique<ProtocolClient>();
  manager->Register(kSelf);
  std::vector<uint32_t> written;
  std::vector<std::string> texts;
  // Over twice the ring's size: blocks taken across its end go out from two
  // pieces of the ring, and must read back as written.
  const std::string filler(1000, '.');
  for (int i = 0; i < 2400; ++i) {
    texts.push_back("record " + std::to_string(i) + filler);
    written.push_back(client->WriteRecord(texts.back()));
    if (i % 100 == 99) {
      ASSERT_TRUE(client->WaitUntilDrained());
    }
  }
  ASSERT_TRUE(client->WaitUntilDrained());
  // Left in the ring at removal: goes out before the detach record.
  written.push_back(client->WriteRecord("last words"));
  // Forged: the running client's trace ring file is still in place.
  manager->Unregister(kSelf);
  EXPECT_EQ(manager->ClientCount(), 1u);
  client->ReleaseTraceRingFile();
  manager->Unregister(kSelf);
  client->Poll();
  // Registration and un-registration are both confirmed with code 1.
  EXPECT_EQ(client->CountMessages(MessageTypeConfirmation, ConfirmRegistration), 2u);
  // The client runs and removes what it made; by name, the dispatcher could
  // hit the files of the client's next registration.
  EXPECT_TRUE(kivtest::FileExists(ProtocolClient::MessageRingFile(kSelf)));
  EXPECT_EQ(kivtest::Connections(collector), 0);
  client.reset();

  auto log = Log();
  ASSERT_GE(log.records.size(), written.size() + 2);
  EXPECT_EQ(log.records.front().control, TracePacketShared::ClientAttached);
  EXPECT_EQ(log.records.front().controlPid, kSelf);
  EXPECT_EQ(log.records.back().control, TracePacketShared::ClientDetached);
  EXPECT_EQ(log.records.back().text, "");
  std::vector<uint32_t> logged;
  std::vector<std::string> loggedTexts;
  for (const auto& r : log.FromBlockPid(kSelf)) {
    logged.push_back(r.sequence);
    loggedTexts.push_back(r.text);
  }
  EXPECT_EQ(logged, written);
  texts.push_back("last words");
  EXPECT_EQ(loggedTexts, texts);
  EXPECT_EQ(log.records[log.records.size() - 2].text, "last words");
  // Every number came from the shared counter, the control records' too.
  std::set<uint32_t> unique;
  for (const auto& r : log.records) unique.insert(r.sequence);
  EXPECT_EQ(unique.size(), log.records.size());
}

// Records written on both sides of a drop may be drained in one block: the
// loss record goes between them, whichever way the drains fall.
TEST_F(KivServerManagerTest, DropIsToldBetweenTheRecordsBeforeAndAfterItsGap) {
  ProtocolClient client;
  ClientLossCounters& counters = RegisterWithCounters();
  constexpr int kRounds = 20;
  std::vector<std::vector<uint32_t>> before(kRounds), after(kRounds);
  for (int round = 0; round < kRounds; ++round) {
    const uint32_t gap = client.WriteRecord("ahead") + 4;
    ASSERT_TRUE(client.WaitUntilDrained());
    counters.NoteDropped(1, gap);
    for (int i = 0; i < 6; ++i) {
      const uint32_t number = client.WriteRecord("around the gap " + std::to_string(i));
      (number < gap ? before : after)[round].push_back(number);
    }
    ASSERT_TRUE(client.WaitUntilDrained());
  }
  auto log = Log();
  const auto lost = log.Controls(TracePacketShared::RecordsLost);
  ASSERT_EQ(lost.size(), static_cast<size_t>(kRounds));
  for (int round = 0; round < kRounds; ++round) {
    const long told = log.IndexOf(lost[round].sequence);
    ASSERT_FALSE(before[round].empty() || after[round].empty());
    for (uint32_t number : before[round]) EXPECT_LT(log.IndexOf(number), told) << "round " << round;
    for (uint32_t number : after[round]) EXPECT_GT(log.IndexOf(number), told) << "round " << round;
  }
}

// The client publishes where its last record ends and how many it has put,
// so that a drain counts its records by difference instead of walking
// them. Whatever the word says, every record is taken and the count of
// records written stays right: a count that cannot fit, or an end that is
// not within what the ring holds, is not believed.
TEST_F(KivServerManagerTest, RecordsAreCountedFromThePublishedWordUnlessItCannotBeRight) {
  ProtocolClient client;
  ClientLossCounters& counters = RegisterWithCounters();
  auto published = ClientLossCounters::Field(counters.m_Published);
  std::vector<uint32_t> numbers;
  for (int round = 0; round < 12; ++round) {
    for (int i = 0; i < 3; ++i) numbers.push_back(client.WriteRecord("round " + std::to_string(round)));
    const uint32_t end = client.TraceWritePosition();
    const uint64_t honest = ClientLossCounters::Published(numbers.size(), end);
    if (round % 4 == 2)
      published.store(ClientLossCounters::Published(numbers.size() + 1000000, end));
    else if (round % 4 == 3)
      published.store(ClientLossCounters::Published(numbers.size(), end + 16));
    else
      published.store(honest);
    ASSERT_TRUE(client.WaitUntilDrained());
    // A forged end left in place would fall within the next round's records
    // (a lying client cuts its own blocks); the library never leaves one.
    published.store(honest);
  }
  auto log = Log();
  std::vector<uint32_t> logged;
  for (const auto& r : log.FromBlockPid(kSelf)) logged.push_back(r.sequence);
  EXPECT_EQ(logged, numbers);
  std::ostringstream status;
  collector.ReportAllStatus(status);
  EXPECT_THAT(status.str(), HasSubstr("Totals\\RecordsWritten(Records written to the output):" +
                                      std::to_string(log.records.size()) + "\n"));
}

// The dispatcher waits on the client's wake word while the ring is empty;
// a client that never wakes it (an older library) or that writes anything
// into the word still has every record taken, and the server still stops.
TEST_F(KivServerManagerTest, WakeWordNeverUsedOrForgedByTheClientCostsNoRecord) {
  ProtocolClient client;
  std::atomic_ref<uint32_t> word(RegisterWithCounters().m_DrainerWake);
  ASSERT_TRUE(kivtest::WaitFor([&] { return word.load() == ClientLossCounters::kDrainerSleeping; }));
  std::vector<uint32_t> written;
  for (uint32_t forged : {ClientLossCounters::kDrainerSleeping, ClientLossCounters::kDrainerAwake,
                          ClientLossCounters::kDrainerPolling, 0xFFFFFFFFu}) {
    word.store(forged);
    for (int i = 0; i < 3; ++i) written.push_back(client.WriteRecord("unwoken " + std::to_string(forged)));
    ASSERT_TRUE(client.WaitUntilDrained());
  }
  word.store(0x12345678);
  manager.reset();
  std::vector<uint32_t> logged;
  for (const auto& r : Log().FromBlockPid(kSelf)) logged.push_back(r.sequence);
  EXPECT_EQ(logged, written);
}

TEST_F(KivServerManagerTest, UnregistrationOfAnUnknownPidIsConfirmedThenRefused) {
  ProtocolClient client;
  try {
    manager->Unregister(kSelf);
    ADD_FAILURE() << "unknown pid accepted";
  } catch (const std::exception& e) {
    EXPECT_THAT(e.what(), HasSubstr("Id to un-register does not exst"));
  }
  client.Poll();
  EXPECT_EQ(client.CountMessages(MessageTypeConfirmation, ConfirmRegistration), 1u);
}

TEST_F(KivServerManagerTest, ClientThatDamagesItsRingHeaderIsDroppedAndOthersCarryOn) {
  kivtest::SleepingChild other;
  ProtocolClient bad;
  ProtocolClient good(other.Pid());
  // The bad client's loss counters say it put 5 records into its ring (none
  // of which the dispatcher took): lost with the ring.
  ClientLossCounters counters{};
  counters.m_Magic = ClientLossCounters::kMagic;
  counters.m_Written = 5;
  WriteCounters(counters);
  manager->Register(kSelf);
  manager->Register(other.Pid());
  uint32_t before = good.WriteRecord("before");
  ASSERT_TRUE(good.WaitUntilDrained());
  bad.OverwriteTraceRingHeader(7, 3, 12345);
  ASSERT_TRUE(WaitRemoved(kSelf));
  EXPECT_FALSE(kivtest::FileExists(ProtocolClient::TraceRingFile(kSelf)));
  EXPECT_TRUE(manager->HasClient(other.Pid()));
  uint32_t after = good.WriteRecord("after");
  ASSERT_TRUE(good.WaitUntilDrained());

  auto log = Log();
  EXPECT_GE(log.IndexOf(before), 0);
  EXPECT_GE(log.IndexOf(after), 0);
  auto detached = log.Controls(TracePacketShared::ClientDetached);
  ASSERT_EQ(detached.size(), 1u);
  EXPECT_EQ(detached[0].controlPid, kSelf);
  EXPECT_EQ(detached[0].text, KivServer::GoneText);
  auto lost = log.Controls(TracePacketShared::RecordsLost);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].controlPid, kSelf);
  EXPECT_EQ(lost[0].text, RecordsLostText(5));
  std::ostringstream status;
  collector.ReportAllStatus(status);
  EXPECT_THAT(status.str(), HasSubstr("Totals\\LostDamagedRing(Records lost in damaged client rings):5"));
  EXPECT_EQ(kivtest::Connections(collector), 1);
}

// A client whose dispatcher was killed during a write carries its ring's
// records over and leaves what it could not decide in its loss counters:
// the first `m_Doubt` bytes (or `m_DoubtTold` drops being told) were on their
// way to a log file as the dispatcher died. Only that file's size tells
// whether they got there.
struct KillCutWriteTest : KivServerManagerTest, ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(KillCutWriteTest, FirstDrainWritesOrTellsOnlyWhatTheCutFileLacks) {
  const auto [lossInDoubt, fileReached] = GetParam();
  // The dead dispatcher's log file: its write in flight ended at 1000 bytes
  // (the file holds it) or 1001 (the kill cut the last byte).
  const std::string killed = logDir + "written-when-killed";
  kivtest::WriteFile(killed, std::string(1000, 'x'));
  struct stat st {};
  ASSERT_EQ(::stat(killed.c_str(), &st), 0);

  ProtocolClient client;
  std::vector<uint32_t> carried;
  uint32_t firstTwo = 0;  // ring bytes of the first two carried records
  for (int i = 0; i < 4; ++i) {
    carried.push_back(client.WriteRecord("carried " + std::to_string(i)));
    if (i == 1) firstTwo = client.TraceBytesWaiting();
  }
  // As the library's take-over leaves the new registration's counters.
  const uint64_t kDrops = 7;
  ClientLossCounters counters{};
  counters.m_Magic = ClientLossCounters::kMagic;
  counters.m_Written = carried.size();
  counters.m_DoubtDevice = st.st_dev;
  counters.m_DoubtInode = st.st_ino;
  counters.m_DoubtEnd = fileReached ? 1000 : 1001;
  if (lossInDoubt) {
    counters.m_Dropped = kDrops;  // carried untold, before every carried record
    counters.m_DoubtTold = kDrops;
  } else {
    counters.m_Doubt = firstTwo;
  }
  WriteCounters(counters);
  manager->Register(kSelf);
  ASSERT_TRUE(client.WaitUntilDrained());

  auto log = Log();
  std::vector<uint32_t> logged;
  for (const auto& r : log.FromBlockPid(kSelf)) logged.push_back(r.sequence);
  const bool inKilledFile = !lossInDoubt && fileReached;
  EXPECT_EQ(logged, inKilledFile ? std::vector<uint32_t>(carried.begin() + 2, carried.end()) : carried);
  auto lost = log.Controls(TracePacketShared::RecordsLost);
  if (lossInDoubt && !fileReached) {
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].controlPid, kSelf);
    EXPECT_EQ(lost[0].text, RecordsLostText(kDrops));
    EXPECT_LT(log.IndexOf(lost[0].sequence), log.IndexOf(carried[0]));
  } else {
    EXPECT_TRUE(lost.empty());
  }
  // Decided once: a later kill finds no doubt, and the drops count as told.
  const std::string after = kivtest::ReadFile(CountersFile());
  ASSERT_EQ(after.size(), sizeof counters);
  std::memcpy(&counters, after.data(), sizeof counters);
  EXPECT_EQ(counters.m_Doubt, 0u);
  EXPECT_EQ(counters.m_DoubtTold, 0u);
  EXPECT_EQ(counters.m_Told, counters.m_Dropped);
  // The killed file is the old dispatcher's: looked at, never written.
  EXPECT_EQ(std::filesystem::file_size(killed), 1000u);
}

INSTANTIATE_TEST_SUITE_P(KilledWhileWriting, KillCutWriteTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()), [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Loss" : "Records") +
                                  (std::get<1>(info.param) ? "InFile" : "CutShort");
                         });

TEST_F(KivServerManagerTest, DeadClientIsRemovedWithItsFilesAndItsDataKept) {
  kivtest::SleepingChild child;
  ProtocolClient client(child.Pid());
  manager->Register(child.Pid());
  uint32_t seq = client.WriteRecord("written before dying");
  ASSERT_TRUE(client.WaitUntilDrained());
  child.Kill();
  ASSERT_TRUE(WaitRemoved(client.Pid()));
  EXPECT_FALSE(kivtest::FileExists(ProtocolClient::TraceRingFile(client.Pid())));
  EXPECT_FALSE(kivtest::FileExists(ProtocolClient::MessageRingFile(client.Pid())));
  auto log = Log();
  EXPECT_GE(log.IndexOf(seq), 0);
  ASSERT_EQ(log.Controls(TracePacketShared::ClientDetached).size(), 1u);
  EXPECT_EQ(log.Controls(TracePacketShared::ClientDetached)[0].text,
            "Not received un-registration message from client.");
}

TEST_F(KivServerManagerTest, BroadcastReachesEveryClientWhenOneRingIsFull) {
  kivtest::SleepingChild other;
  ProtocolClient full;
  ProtocolClient open(other.Pid());
  manager->Register(kSelf);
  manager->Register(other.Pid());
  full.Poll();
  open.Poll();
  {
    // Fill the first client's ring behind the dispatcher's back.
    ClientMessageSendingStream stream(kSelf);
    std::string junk(511, 'x');
    ASSERT_TRUE(stream.write(junk.data(), junk.size()));
  }
  manager->BroadcastMessage(MessageRuntimeConfigurationChange(4711, PauseTracing));
  EXPECT_TRUE(open.WaitForMessages(MessageTypeRuntimeConfigChange, PauseTracing, 1));
  EXPECT_EQ(open.Messages().back().sourceId, 4711u);
  EXPECT_EQ(open.Messages().back().length, sizeof(MessageRuntimeConfigurationChange));
}

TEST_F(KivServerManagerTest, ConfigurationChangeFromUnregisteredSenderChangesNothing) {
  ProtocolClient client;
  manager->Register(kSelf);
  client.Poll();
  MessageRuntimeConfigurationChange pause(4711, PauseTracing);
  try {
    manager->Handle(&pause);
    ADD_FAILURE() << "unregistered sender accepted";
  } catch (const std::exception& e) {
    EXPECT_THAT(e.what(), HasSubstr("Id of source does not exst"));
  }
  client.Poll();
  EXPECT_EQ(client.CountMessages(MessageTypeConfirmation, ConfirmConfigChange), 0u);
  EXPECT_EQ(client.CountMessages(MessageTypeRuntimeConfigChange), 0u);
  // Not paused: data still reaches the log.
  uint32_t seq = client.WriteRecord("still traced");
  ASSERT_TRUE(client.WaitUntilDrained());
  EXPECT_TRUE(kivtest::WaitFor([&] { return Log().IndexOf(seq) >= 0; }));
  EXPECT_TRUE(Log().Controls(TracePacketShared::TracingPaused).empty());
}

TEST_F(KivServerManagerTest, IdleClientIsPinged) {
  ProtocolClient client;
  manager->Register(kSelf);
  ASSERT_TRUE(client.WaitForMessages(MessageTypePing, -1, 2, std::chrono::seconds(15)));
  for (const auto& m : client.Messages()) {
    if (m.type != MessageTypePing) continue;
    EXPECT_EQ(m.sourceId, kSelf);
    EXPECT_EQ(m.length, sizeof(MessagePing));
  }
}

TEST_F(KivServerManagerTest, DestructionRemovesEveryClientAndTheCounter) {
  kivtest::SleepingChild other;
  ProtocolClient a;
  ProtocolClient b(other.Pid());
  manager->Register(kSelf);
  manager->Register(other.Pid());
  const std::string counter = SharedMemory::FilePath(KivRecordSequenceGenerator::kRegionName);
  EXPECT_TRUE(kivtest::FileExists(counter));
  manager.reset();
  EXPECT_FALSE(kivtest::FileExists(counter));
  EXPECT_FALSE(kivtest::FileExists(ProtocolClient::TraceRingFile(kSelf)));
  EXPECT_FALSE(kivtest::FileExists(ProtocolClient::TraceRingFile(other.Pid())));
  EXPECT_EQ(kivtest::Connections(collector), -1);  // the entry left the collector
  EXPECT_EQ(KivTraceStreamDispatcher::s_Server, nullptr);
  EXPECT_EQ(Log().Controls(TracePacketShared::ClientDetached).size(), 2u);
}

// A client that gave up on a registration (or left) and came back under the
// same pid made new rings of the same names; messages of the earlier attempt
// may be read only now.
namespace {
ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
}  // namespace

TEST_F(KivServerManagerTest, RemovalLeavesRingFilesThatWereMadeAfterTheServerMappedItsOwn) {
  auto first = std::make_unique<ProtocolClient>();
  manager->Register(kSelf);
  first.reset();
  ProtocolClient second;
  const ino_t trace = Inode(ProtocolClient::TraceRingFile(kSelf));
  const ino_t message = Inode(ProtocolClient::MessageRingFile(kSelf));
  {
    AutoSync<CriticalSectionSyncPolicy> guard(manager->Lock());
    manager->SharedDelete(kSelf);
  }
  EXPECT_FALSE(manager->HasClient(kSelf));
  EXPECT_EQ(Inode(ProtocolClient::TraceRingFile(kSelf)), trace);
  EXPECT_EQ(Inode(ProtocolClient::MessageRingFile(kSelf)), message);
  manager->Register(kSelf);
  EXPECT_TRUE(manager->HasClient(kSelf));
}

TEST_F(KivServerManagerTest, RegistrationOverNewRingsReplacesTheServerOfTheOldOnes) {
  auto first = std::make_unique<ProtocolClient>();
  manager->Register(kSelf);
  // Written by the first attempt, still in its ring when the client left.
  const uint32_t old = first->WriteRecord("old ring");
  ASSERT_TRUE(first->WaitUntilDrained());
  first.reset();
  ProtocolClient second;
  manager->Add(kSelf);
  EXPECT_EQ(manager->ClientCount(), 1u);
  const uint32_t fresh = second.WriteRecord("new ring");
  ASSERT_TRUE(second.WaitUntilDrained());
  // The replaced server's detach record is out before the new server's
  // attach record; the new files are untouched.
  EXPECT_TRUE(kivtest::FileExists(ProtocolClient::TraceRingFile(kSelf)));
  EXPECT_TRUE(kivtest::FileExists(ProtocolClient::MessageRingFile(kSelf)));
  manager.reset();
  auto log = Log();
  EXPECT_GE(log.IndexOf(old), 0);
  EXPECT_GE(log.IndexOf(fresh), 0);
  EXPECT_EQ(log.Controls(TracePacketShared::ClientAttached).size(), 2u);
  EXPECT_EQ(log.Controls(TracePacketShared::ClientDetached).size(), 2u);
}

TEST_F(KivServerManagerTest, LateMessagesOfAnEarlierAttemptDoNotTakeTheNewRings) {
  const MessageClientRegistration reg(kSelf, CodeRegister);
  const MessageClientRegistration unreg(kSelf, CodeUnregister);
  std::vector<uint32_t> written;
  // The earlier registration read while its own rings still existed, and
  // read only after the client had made new ones.
  for (bool readLate : {false, true}) {
    SCOPED_TRACE(readLate ? "registration read late" : "registration read in time");
    MessageHandler handler(*manager);
    auto first = std::make_unique<ProtocolClient>();
    if (!readLate) handler.Handle(&reg, sizeof reg);
    first.reset();
    ProtocolClient second;
    if (readLate) handler.Handle(&reg, sizeof reg);
    handler.Handle(&unreg, sizeof unreg);
    handler.Handle(&reg, sizeof reg);
    ASSERT_TRUE(manager->HasClient(kSelf));
    EXPECT_TRUE(kivtest::FileExists(ProtocolClient::TraceRingFile(kSelf)));
    EXPECT_TRUE(kivtest::FileExists(ProtocolClient::MessageRingFile(kSelf)));
    second.Poll();
    EXPECT_GE(second.CountMessages(MessageTypeConfirmation, ConfirmRegistration), 1u);
    written.push_back(second.WriteRecord("after retry"));
    ASSERT_TRUE(second.WaitUntilDrained());
    AutoSync<CriticalSectionSyncPolicy> guard(manager->Lock());
    manager->SharedDelete(kSelf);
  }
  manager.reset();
  auto log = Log();
  for (uint32_t seq : written) EXPECT_GE(log.IndexOf(seq), 0) << seq;
}

TEST(KivRecordSequenceGenerator, NumbersAreUniqueAcrossProcessesAndThreads) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  KivRecordSequenceGenerator counter(KivRecordSequenceGenerator::Create);
  constexpr int kProcesses = 3, kPerTaker = 20000;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      int rc = 0;
      try {
        KivRecordSequenceGenerator mine(KivRecordSequenceGenerator::Open);
        std::ofstream out(sandbox.Dir() + "/numbers" + std::to_string(p), std::ios::binary);
        for (int i = 0; i < kPerTaker; ++i) {
          uint32_t n = mine.Next();
          out.write(reinterpret_cast<const char*>(&n), sizeof n);
        }
      } catch (...) {
        rc = 1;
      }
      _exit(rc);
    }
    children.push_back(pid);
  }
  std::vector<uint32_t> mine;
  for (int i = 0; i < kPerTaker; ++i) mine.push_back(counter.Next());
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<uint32_t> all(mine.begin(), mine.end());
  for (int p = 0; p < kProcesses; ++p) {
    std::string bytes = kivtest::ReadFile(sandbox.Dir() + "/numbers" + std::to_string(p));
    ASSERT_EQ(bytes.size(), kPerTaker * sizeof(uint32_t));
    for (size_t i = 0; i < bytes.size(); i += 4) {
      uint32_t n;
      std::memcpy(&n, bytes.data() + i, 4);
      all.insert(n);
    }
  }
  constexpr uint32_t total = (kProcesses + 1) * kPerTaker;
  EXPECT_EQ(all.size(), total);
  EXPECT_EQ(*all.rbegin(), total - 1);
  EXPECT_EQ(counter.Peek(), total);
}

TEST(KivRecordSequenceGenerator, ShortCounterFileIsRefusedAndCreationStartsAtZero) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  const std::string path = SharedMemory::FilePath(KivRecordSequenceGenerator::kRegionName);
  EXPECT_ANY_THROW(KivRecordSequenceGenerator missing(KivRecordSequenceGenerator::Open));
  kivtest::WriteFile(path, "ab");
  EXPECT_ANY_THROW(KivRecordSequenceGenerator tooShort(KivRecordSequenceGenerator::Open));
  kivtest::WriteFile(path, "\x07\x07\x07\x07");
  {
    KivRecordSequenceGenerator created(KivRecordSequenceGenerator::Create);
    EXPECT_EQ(created.Next(), 0u);
    KivRecordSequenceGenerator opened(KivRecordSequenceGenerator::Open);
    EXPECT_EQ(opened.Next(), 1u);
  }
  EXPECT_FALSE(kivtest::FileExists(path));
}
