// Faults on the client side against the real dispatcher: client processes
// killed while they write, a client that scribbles over its own trace ring,
// and one whose ring overflows.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>

#include <random>
#include <regex>

#include "Faults/FaultSupport.h"
#include "KivService/KivServiceTestSupport.h"
#include "TestSupport/ProtocolClient.h"

namespace {

class ClientFaultsE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  faults::Dispatcher dispatcher{sandbox};
  std::string logDir = sandbox.Dir() + "/log";

  void SetUp() override {
    sandbox.WriteConfig(Configuration());
    std::filesystem::create_directories(logDir);
    ASSERT_TRUE(dispatcher.Start());
  }
  virtual std::string Configuration() const { return faults::Config(); }
};

// The same faults with the logs in either format. Text files are read as
// they are (one file holds a run, so it reads in the order written).
class ClientFaultsInEachFormatE2E : public ClientFaultsE2E,
                                    public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Configuration() const override {
    return faults::Config("$(OLVAN_VORNEL_DIR)/log", "65536", "<Network mode=\"none\"/>", GetParam());
  }
  std::string LogText() {
    if (std::string(GetParam()) == "binary") {
      auto e = faults::ExportDirectory(logDir, sandbox.Dir() + "/export");
      EXPECT_EQ(e.run.exitCode, 0) << e.run.err;
      return e.text;
    }
    std::string text;
    for (const auto& name : kivtest::ListDir(logDir)) text += kivtest::ReadFile(logDir + "/" + name);
    return text;
  }
};
INSTANTIATE_TEST_SUITE_P(Formats, ClientFaultsInEachFormatE2E, ::testing::Values("binary", "text"));

// Writes `count` records "<tag>#<n>;" through a protocol client, waiting for
// the dispatcher whenever the ring is full. Returns how many were written.
long WriteTagged(kivtest::ProtocolClient& client, const std::string& tag, long count) {
  long n = 0;
  for (; n < count; ++n) {
    try {
      client.WriteRecord(tag + "#" + std::to_string(n) + ";");
    } catch (const std::exception&) {
      if (!client.WaitUntilDrained()) break;
      --n;  // the same record again, now that there is room
    }
  }
  return n;
}

}  // namespace

TEST_F(ClientFaultsE2E, ClientsKilledWhileWritingLoseNothingTheyHadWritten) {
  faults::ClientBoard* board = faults::MakeBoard();
  ASSERT_NE(board, nullptr);
  const int kKills = 12;
  std::mt19937 random(12345);
  std::vector<long> written(kKills);
  for (int i = 0; i < kKills; ++i) {
    board->written[0] = 0;
    pid_t child = faults::StartApiClient(board, 0, "kill" + std::to_string(i));
    ASSERT_GT(child, 0);
    // Killed at a different point each time, in the middle of its writing.
    const long target = 50 + static_cast<long>(random() % 400);
    ASSERT_TRUE(kivtest::WaitFor([&] { return board->written[0] >= target; }, std::chrono::seconds(30)))
        << "client " << i << " wrote only " << board->written[0];
    kill(child, SIGKILL);
    EXPECT_EQ(faults::Reap(child), 128 + SIGKILL);
    written[i] = board->written[0];
    ASSERT_TRUE(dispatcher.Running()) << "after kill " << i;
  }
  faults::FreeBoard(board);

  // The dispatcher notices every dead client and removes its map files.
  EXPECT_TRUE(
      kivtest::WaitFor([&] { return faults::ClientMapFiles(sandbox).empty(); }, std::chrono::seconds(30)))
      << ::testing::PrintToString(faults::ClientMapFiles(sandbox));
  EXPECT_TRUE(dispatcher.Running());
  EXPECT_TRUE(kivtest::WaitFor(
      [&] {
        return kivtest::ConnectionsIn(kivtest::ReadFile(sandbox.TempDir() + "KivServerStatus.txt")) == 0;
      },
      std::chrono::seconds(20)));
  ASSERT_TRUE(dispatcher.Stop());

  auto e = faults::ExportDirectory(logDir, sandbox.Dir() + "/export");
  ASSERT_EQ(e.run.exitCode, 0) << e.run.out << e.run.err;
  long allWritten = 0, allExported = 0;
  for (int i = 0; i < kKills; ++i) {
    auto numbers = faults::RecordNumbers(e.text, "kill" + std::to_string(i));
    std::set<long> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "client " << i << " has records twice";
    // Every record the library had accepted before the kill is in the log;
    // the one being written at the kill may be there too.
    long exported = 0;
    for (long n = 0; n < written[i]; ++n) exported += distinct.count(n);
    EXPECT_EQ(exported, written[i]) << "client " << i;
    for (long n : distinct) EXPECT_LE(n, written[i]) << "client " << i;
    allWritten += written[i];
    allExported += exported;
  }
  faults::ReportCounts("client SIGKILL x12", allWritten, allExported);
}

TEST_F(ClientFaultsE2E, ScribbledRingCostsOnlyItsOwnerItsData) {
  kivtest::SleepingChild other;
  kivtest::ProtocolClient good;
  auto bad = std::make_unique<kivtest::ProtocolClient>(other.Pid());
  ASSERT_TRUE(good.Register());
  ASSERT_TRUE(bad->Register());
  long goodWritten = WriteTagged(good, "good", 100);
  ASSERT_EQ(WriteTagged(*bad, "bad", 100), 100);
  ASSERT_TRUE(good.WaitUntilDrained());
  ASSERT_TRUE(bad->WaitUntilDrained());

  // Map the bad client's ring as the client itself has it, and damage it in
  // several ways: headers pointing outside the ring, a zero or huge capacity,
  // random bytes for records.
  const std::string ring = kivtest::ProtocolClient::TraceRingFile(other.Pid());
  int fd = open(ring.c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << ring;
  const off_t size = lseek(fd, 0, SEEK_END);
  auto* bytes = static_cast<uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(bytes, MAP_FAILED);
  const uint32_t capacity = static_cast<uint32_t>(size) - 12;
  const uint32_t headers[][3] = {{0, capacity - 1, capacity},     {capacity + 100, 5, capacity},
                                 {0, 0xFFFFFFF0u, 0xFFFFFFFFu},   {7, 3, 0},
                                 {0, capacity / 2, capacity * 4}, {capacity - 1, capacity - 2, capacity},
                                 {12345, 54321, 99999},           {0, capacity - 1, 1}};
  std::mt19937 random(777);
  int round = 0;
  for (const auto& h : headers) {
    for (off_t i = 12; i < size; ++i) bytes[i] = static_cast<uint8_t>(random());
    bad->OverwriteTraceRingHeader(h[0], h[1], h[2]);
    // The good client keeps writing meanwhile; all of it must arrive.
    for (int i = 0; i < 50; ++i) good.WriteRecord("good#" + std::to_string(goodWritten++) + ";");
    ASSERT_TRUE(good.WaitUntilDrained()) << "round " << round;
    ASSERT_TRUE(dispatcher.Running()) << "round " << round;
    ++round;
  }
  munmap(bytes, size);

  // A client registering now is served as usual.
  {
    kivtest::SleepingChild third;
    kivtest::ProtocolClient late(third.Pid());
    ASSERT_TRUE(late.Register());
    late.WriteRecord("late#0;");
    ASSERT_TRUE(late.WaitUntilDrained());
  }
  bad.reset();
  other.Kill();
  ASSERT_TRUE(good.Unregister());
  ASSERT_TRUE(dispatcher.Running());
  ASSERT_TRUE(dispatcher.Stop());

  // The dispatcher copies a ring's records without parsing them, so the
  // garbage that still had a valid header behind it went out as blocks of
  // the bad client (one per drain that found a valid header: how many depends
  // on when its server polled). The block framing is the dispatcher's and
  // stays intact: the export cuts those blocks short, says so, and renders
  // all the rest.
  auto e = faults::ExportDirectory(logDir, sandbox.Dir() + "/export");
  if (e.run.exitCode != 0) {
    EXPECT_EQ(e.run.exitCode, 255) << e.run.out << e.run.err;
    EXPECT_TRUE(std::regex_search(e.run.out + e.run.err,
                                  std::regex("[1-9][0-9]* damaged trace block\\(s\\) were cut short")))
        << e.run.out << e.run.err;
  }
  for (const auto& file : faults::LogFiles(logDir)) {
    auto framing = faults::CheckFraming(file);
    EXPECT_TRUE(framing.intact) << file << ": " << framing.problem;
  }
  auto numbers = faults::RecordNumbers(e.text, "good");
  std::set<long> distinct(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers.size(), static_cast<size_t>(goodWritten));
  EXPECT_EQ(distinct.size(), static_cast<size_t>(goodWritten));
  EXPECT_EQ(faults::RecordNumbers(e.text, "late").size(), 1u);
  // The bad client's records from before the damage were drained whole.
  EXPECT_EQ(faults::RecordNumbers(e.text, "bad").size(), 100u);
  faults::ReportCounts("scribbled ring: other client", goodWritten, static_cast<long>(distinct.size()));
}

TEST_P(ClientFaultsInEachFormatE2E, OverflowedRingIsToldInTheLogWhereTheGapIs) {
  faults::ClientBoard* board = faults::MakeBoard();
  ASSERT_NE(board, nullptr);
  const pid_t client = faults::StartApiClient(board, 0, "g", 60000, true);
  ASSERT_TRUE(kivtest::WaitFor([&] { return board->written[0] > 1000; }, std::chrono::seconds(30)));
  // A stopped dispatcher drains nothing: the ring fills and records drop.
  kill(static_cast<pid_t>(dispatcher.Pid()), SIGSTOP);
  const bool dropped = kivtest::WaitFor([&] { return board->dropped[0] > 0; }, std::chrono::seconds(30));
  kill(static_cast<pid_t>(dispatcher.Pid()), SIGCONT);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(faults::Reap(client), 0);
  const long calls = board->written[0], lost = board->dropped[0];
  faults::FreeBoard(board);
  ASSERT_TRUE(dispatcher.Stop());

  const std::string text = LogText();
  const auto numbers = faults::RecordNumbers(text, "g");
  const std::set<long> present(numbers.begin(), numbers.end());
  EXPECT_EQ(present.size(), numbers.size());
  EXPECT_EQ(calls - static_cast<long>(present.size()), lost);
  const auto losses = faults::LossRecords(text, static_cast<uint32_t>(client), "g");
  long told = 0;
  for (const auto& loss : losses) told += loss.count;
  EXPECT_EQ(told, lost);
  // Each gap's window runs from the first record after the previous gap to
  // the first record after it. A loss record stands in a gap's window; a gap
  // that opens while the previous one is not told yet shares its record
  // (the count covers both), so only the first gap must have its own.
  std::vector<std::pair<long, long>> windows;
  long previousEnd = -1;
  for (long n = 0; n < calls; ++n) {
    if (present.count(n) || (n > 0 && !present.count(n - 1))) continue;
    auto next = present.upper_bound(n);
    const long end = next == present.end() ? calls : *next;
    windows.emplace_back(previousEnd, end);
    previousEnd = end;
  }
  auto inWindow = [](const faults::LossRecord& loss, const std::pair<long, long>& w) {
    return loss.after >= w.first && loss.after < w.second;
  };
  for (const auto& loss : losses)
    EXPECT_TRUE(std::any_of(windows.begin(), windows.end(), [&](const auto& w) { return inWindow(loss, w); }))
        << "loss record after " << loss.after << " is at no gap";
  if (!windows.empty()) {
    ASSERT_FALSE(losses.empty());
    EXPECT_TRUE(inWindow(losses.front(), windows.front()))
        << "first loss record after " << losses.front().after;
  }
  std::printf("[reliability] ring overflow (%s logs): calls %ld, in the log %zu, dropped %ld, told %ld\n",
              GetParam(), calls, present.size(), lost, told);
}
