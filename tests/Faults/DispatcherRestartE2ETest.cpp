// The dispatcher killed with SIGKILL while client processes (using the client
// library) write, then started again.

#include <gtest/gtest.h>

#include "Faults/FaultSupport.h"

TEST(DispatcherRestartE2E, ClientsCarryTheirRingsOverAndEveryCallIsLoggedOrToldLost) {
  kivtest::Sandbox sandbox;
  const std::string logDir = sandbox.Dir() + "/log";
  sandbox.WriteConfig(faults::Config());
  std::filesystem::create_directories(logDir);
  faults::Dispatcher dispatcher(sandbox);
  ASSERT_TRUE(dispatcher.Start());

  faults::ClientBoard* board = faults::MakeBoard();
  ASSERT_NE(board, nullptr);
  // Every call numbered: a record the library refuses is a gap the log must
  // tell. Four threads per process, so that calls meet the re-registration
  // on several threads at once.
  const int kClients = 8, kThreads = 4;
  std::vector<pid_t> clients;
  for (int k = 0; k < kClients; ++k)
    clients.push_back(faults::StartApiClient(board, k, "r" + std::to_string(k), -1, true, kThreads));
  // A failed assertion must not leave them tracing for ever.
  struct Reaper {
    std::vector<pid_t> pids;
    ~Reaper() {
      for (pid_t p : pids) kill(p, SIGKILL), faults::Reap(p);
    }
  } reaper{clients};
  auto allPast = [&](const long* base, long more) {
    return kivtest::WaitFor(
        [&] {
          for (int k = 0; k < kClients; ++k)
            if (!board->connected[k] || board->accepted[k] < base[k] + more) return false;
          return true;
        },
        std::chrono::seconds(30));
  };
  long base[kClients] = {};
  ASSERT_TRUE(allPast(base, 300));
  std::vector<std::string> oldFiles;
  for (int round = 0; round < 3; ++round) {
    dispatcher.Kill();
    ASSERT_FALSE(dispatcher.Running());
    if (round == 0) oldFiles = faults::LogFiles(logDir);
    // Every client notices that its dispatcher has gone ...
    EXPECT_TRUE(kivtest::WaitFor(
        [&] {
          for (int k = 0; k < kClients; ++k)
            if (board->disconnects[k] <= round) return false;
          return true;
        },
        std::chrono::seconds(20)));
    for (int k = 0; k < kClients; ++k) base[k] = board->accepted[k];
    ASSERT_TRUE(dispatcher.Start());
    // ... and registers with the new one, whose records then arrive.
    ASSERT_TRUE(allPast(base, 300));
  }
  ASSERT_FALSE(oldFiles.empty());
  board->stop = 1;
  for (pid_t c : clients) EXPECT_EQ(faults::Reap(c), 0);
  reaper.pids.clear();
  long written[kClients], dropped[kClients], accepted[kClients];
  for (int k = 0; k < kClients; ++k)
    written[k] = board->written[k], dropped[k] = board->dropped[k], accepted[k] = board->accepted[k];
  faults::FreeBoard(board);
  ASSERT_TRUE(dispatcher.Stop());

  // The files of the killed dispatcher on their own: whole blocks (the kill
  // may at most have cut the very last one short) and exportable.
  const std::string oldDir = sandbox.Dir() + "/old";
  std::filesystem::create_directories(oldDir);
  for (const auto& f : oldFiles) {
    // (Or, killed as it switched files, a new file cut within its header.)
    auto framing = faults::CheckFraming(f);
    EXPECT_TRUE(framing.intact || framing.problem.find("longer than the rest") != std::string::npos ||
                (framing.problem == "file header" &&
                 std::filesystem::file_size(f) < KivBinaryFileOutputSupport::HeaderSize))
        << f << ": " << framing.problem;
    std::filesystem::copy_file(f, oldDir + "/" + std::filesystem::path(f).filename().string());
  }
  // A kill may cut the block being written short (framing checked above):
  // that file's end is reported, and its records were carried over by their
  // clients.
  auto exportedCleanly = [](const faults::Export& e) {
    const std::string report = e.run.out + e.run.err;
    return e.run.exitCode == 0 ||
           (e.run.exitCode == 255 &&
            (report.find("Incomplete trace block at the end of file") != std::string::npos ||
             report.find("bytes skipped after damage (Bad logic:Insufficent data to read)") !=
                 std::string::npos));
  };
  // Hundreds of thousands of records: an instrumented kivtool needs time.
  const unsigned kExportSeconds = 150;
  auto old = faults::ExportDirectory(oldDir, sandbox.Dir() + "/export-old", kExportSeconds);
  EXPECT_TRUE(exportedCleanly(old)) << old.run.out << old.run.err;

  auto all = faults::ExportDirectory(logDir, sandbox.Dir() + "/export-all", kExportSeconds);
  EXPECT_TRUE(exportedCleanly(all)) << all.run.out << all.run.err;
  long allWritten = 0, allExported = 0, allTold = 0;
  for (int k = 0; k < kClients; ++k) {
    const std::string tag = "r" + std::to_string(k);
    auto numbers = faults::RecordNumbers(all.text, tag);
    std::set<long> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "client " << k << " has records twice";
    for (long n : distinct) EXPECT_LT(n, written[k]);
    long told = 0;
    for (const auto& loss : faults::LossRecords(all.text, static_cast<uint32_t>(clients[k]), tag))
      told += loss.count;
    // Every call (tracing is enabled throughout, reloads included) is
    // either in the log or told there as lost; and only what the library
    // refused is lost.
    EXPECT_EQ(static_cast<long>(distinct.size()) + told, written[k]) << "client " << k;
    EXPECT_EQ(accepted[k] + dropped[k], written[k]) << "client " << k;
    EXPECT_EQ(told, dropped[k]) << "client " << k;
    allWritten += written[k];
    allExported += static_cast<long>(distinct.size());
    allTold += told;
  }
  faults::ReportCounts("dispatcher SIGKILL and restart x3, 8 clients x 4 threads", allWritten, allExported);
  std::printf("[reliability] of those, told in the log as lost: %ld\n", allTold);
}
