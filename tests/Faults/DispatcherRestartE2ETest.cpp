// The dispatcher killed with SIGKILL while client processes (using the client
// library) write, then started again.

#include <gtest/gtest.h>

#include "Faults/FaultSupport.h"

TEST(DispatcherRestartE2E, ClientsRegisterAgainAndOldLogsStillExport) {
  kivtest::Sandbox sandbox;
  const std::string logDir = sandbox.Dir() + "/log";
  sandbox.WriteConfig(faults::Config());
  std::filesystem::create_directories(logDir);
  faults::Dispatcher dispatcher(sandbox);
  ASSERT_TRUE(dispatcher.Start());

  faults::ClientBoard* board = faults::MakeBoard();
  ASSERT_NE(board, nullptr);
  const int kClients = 3;
  std::vector<pid_t> clients;
  for (int k = 0; k < kClients; ++k)
    clients.push_back(faults::StartApiClient(board, k, "r" + std::to_string(k)));
  ASSERT_TRUE(kivtest::WaitFor(
      [&] {
        for (int k = 0; k < kClients; ++k)
          if (board->written[k] < 300) return false;
        return true;
      },
      std::chrono::seconds(30)));

  // Killed once each client's records have reached the log.
  ASSERT_TRUE(kivtest::WaitFor(
      [&] {
        auto e = faults::ExportDirectory(logDir, sandbox.Dir() + "/export-probe");
        usleep(200000);
        for (int k = 0; k < kClients; ++k)
          if (faults::RecordNumbers(e.text, "r" + std::to_string(k)).empty()) return false;
        return true;
      },
      std::chrono::seconds(30)));
  dispatcher.Kill();
  ASSERT_FALSE(dispatcher.Running());
  const auto oldFiles = faults::LogFiles(logDir);
  ASSERT_FALSE(oldFiles.empty());
  // Every client notices that its dispatcher has gone.
  EXPECT_TRUE(kivtest::WaitFor(
      [&] {
        for (int k = 0; k < kClients; ++k)
          if (board->disconnects[k] == 0) return false;
        return true;
      },
      std::chrono::seconds(20)));
  long atRestart[kClients];
  for (int k = 0; k < kClients; ++k) atRestart[k] = board->written[k];

  ASSERT_TRUE(dispatcher.Start());
  // ... and registers with the new one, whose records then arrive.
  long reconnected[kClients];
  ASSERT_TRUE(kivtest::WaitFor(
      [&] {
        for (int k = 0; k < kClients; ++k)
          if (!board->connected[k] || board->written[k] < atRestart[k] + 300) return false;
        return true;
      },
      std::chrono::seconds(30)));
  for (int k = 0; k < kClients; ++k) reconnected[k] = board->written[k];
  board->stop = 1;
  for (pid_t c : clients) EXPECT_EQ(faults::Reap(c), 0);
  long written[kClients];
  for (int k = 0; k < kClients; ++k) written[k] = board->written[k];
  faults::FreeBoard(board);
  ASSERT_TRUE(dispatcher.Stop());

  // The files of the killed dispatcher on their own: whole blocks (the kill
  // may at most have cut the very last one short) and exportable.
  const std::string oldDir = sandbox.Dir() + "/old";
  std::filesystem::create_directories(oldDir);
  for (const auto& f : oldFiles) {
    auto framing = faults::CheckFraming(f);
    EXPECT_TRUE(framing.intact || framing.problem.find("longer than the rest") != std::string::npos)
        << f << ": " << framing.problem;
    std::filesystem::copy_file(f, oldDir + "/" + std::filesystem::path(f).filename().string());
  }
  auto old = faults::ExportDirectory(oldDir, sandbox.Dir() + "/export-old");
  EXPECT_EQ(old.run.exitCode, 0) << old.run.out << old.run.err;
  for (int k = 0; k < kClients; ++k)
    EXPECT_GT(faults::RecordNumbers(old.text, "r" + std::to_string(k)).size(), 0u) << "client " << k;

  auto all = faults::ExportDirectory(logDir, sandbox.Dir() + "/export-all");
  EXPECT_EQ(all.run.exitCode, 0) << all.run.out << all.run.err;
  long allWritten = 0, allExported = 0;
  for (int k = 0; k < kClients; ++k) {
    auto numbers = faults::RecordNumbers(all.text, "r" + std::to_string(k));
    std::set<long> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "client " << k << " has records twice";
    for (long n : distinct) EXPECT_LT(n, written[k]);
    // Everything written once the client had registered again is there.
    for (long n = reconnected[k]; n < written[k]; ++n)
      EXPECT_EQ(distinct.count(n), 1u) << "client " << k << " #" << n;
    allWritten += written[k];
    allExported += static_cast<long>(distinct.size());
  }
  faults::ReportCounts("dispatcher SIGKILL and restart, 3 clients", allWritten, allExported);
}
