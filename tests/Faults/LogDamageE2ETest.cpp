// Bit flips in a binary log file written by the real dispatcher: kivtool
// export renders what is readable, reports the rest, and never crashes or
// hangs; a damaged file costs only itself.

#include <gtest/gtest.h>

#include <random>

#include "Faults/FaultSupport.h"
#include "TestSupport/ProtocolClient.h"
#include "TraceData/TraceRecordBuilder.h"

TEST(LogDamageE2E, BitFlipsCostOnlyTheBlocksTheyHit) {
  kivtest::Sandbox sandbox;
  const std::string logDir = sandbox.Dir() + "/log";
  sandbox.WriteConfig(faults::Config());
  std::filesystem::create_directories(logDir);
  const long kRecords = 1200;
  {
    faults::Dispatcher dispatcher(sandbox);
    ASSERT_TRUE(dispatcher.Start());
    kivtest::ProtocolClient client;
    ASSERT_TRUE(client.Register());
    // Small batches, so that the records spread over many blocks.
    for (long n = 0; n < kRecords; ++n) {
      client.WriteRecord("bf#" + std::to_string(n) + ";");
      if (n % 40 == 39) {
        ASSERT_TRUE(client.WaitUntilDrained());
      }
    }
    ASSERT_TRUE(client.WaitUntilDrained());
    ASSERT_TRUE(client.Unregister());
    ASSERT_TRUE(dispatcher.Stop());
  }
  auto files = faults::LogFiles(logDir);
  ASSERT_EQ(files.size(), 1u);
  const std::string original = kivtest::ReadFile(files[0]);
  auto framing = faults::CheckFraming(files[0]);
  ASSERT_TRUE(framing.intact) << framing.problem;
  ASSERT_GT(framing.blocks, 10u);
  // The record numbers each block holds (the texts are stored as they are).
  std::vector<std::set<long>> inBlock;
  for (size_t b = 0; b < framing.blocks; ++b) {
    auto numbers = faults::RecordNumbers(
        original.substr(framing.blockStarts[b], framing.blockEnds[b] - framing.blockStarts[b]), "bf");
    inBlock.emplace_back(numbers.begin(), numbers.end());
  }

  const std::string damagedDir = sandbox.Dir() + "/damaged";
  std::filesystem::create_directories(damagedDir);
  const std::string damaged = damagedDir + "/" + std::filesystem::path(files[0]).filename().string();
  std::mt19937 random(4242);
  const int kRounds = 40;
  long expectedAll = 0, exportedAll = 0;
  int failuresReported = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string bytes = original;
    const int flips = 1 + static_cast<int>(random() % 4);
    std::vector<size_t> at;
    for (int i = 0; i < flips; ++i) {
      // Mostly the blocks; every fifth round the file header too.
      size_t lo = round % 5 == 0 ? 0 : KivBinaryFileOutputSupport::HeaderSize;
      size_t offset = lo + random() % (bytes.size() - lo);
      bytes[offset] = static_cast<char>(bytes[offset] ^ (1u << (random() % 8)));
      at.push_back(offset);
    }
    kivtest::WriteFile(damaged, bytes);
    auto e = faults::ExportDirectory(damagedDir, sandbox.Dir() + "/export", 20);
    // 0 or the failure report's 255; 128 + n would be a signal (a crash, or
    // SIGALRM for a hang).
    ASSERT_TRUE(e.run.exitCode == 0 || e.run.exitCode == 255) << "round " << round << ": " << e.run.exitCode;
    if (e.run.exitCode != 0) {
      EXPECT_NE((e.run.out + e.run.err).find("Error description:"), std::string::npos);
      ++failuresReported;
    }
    auto numbers = faults::RecordNumbers(e.text, "bf");
    std::set<long> exported(numbers.begin(), numbers.end());

    // Blocks before the first one hit are always rendered whole; when the
    // flips hit only block bodies (no block header packet, no file header),
    // every block not hit is.
    size_t firstHit = framing.blocks;
    bool onlyBodies = true;
    std::vector<bool> hit(framing.blocks, false);
    for (size_t offset : at) {
      if (offset < KivBinaryFileOutputSupport::HeaderSize) {
        onlyBodies = false;
        firstHit = 0;
        continue;
      }
      for (size_t b = 0; b < framing.blocks; ++b)
        if (offset >= framing.blockStarts[b] && offset < framing.blockEnds[b]) {
          hit[b] = true;
          firstHit = std::min(firstHit, b);
          if (offset < framing.blockStarts[b] + TraceRecordBuilder::kBlockHeaderPacketSize)
            onlyBodies = false;
        }
    }
    long expected = 0, found = 0;
    for (size_t b = 0; b < framing.blocks; ++b) {
      if (hit[b] || (!onlyBodies && b >= firstHit)) continue;
      for (long n : inBlock[b]) {
        ++expected;
        found += static_cast<long>(exported.count(n));
        EXPECT_EQ(exported.count(n), 1u) << "round " << round << " block " << b << " record " << n;
      }
    }
    expectedAll += expected;
    exportedAll += found;
  }
  std::printf(
      "[reliability] bit flips: %d rounds, %d reported as failed; records of blocks not hit: %ld, exported "
      "%ld\n",
      kRounds, failuresReported, expectedAll, exportedAll);

  // Three log files, the first with a damaged block header: the reading of
  // that file ends there, both later files are exported whole, in the single
  // and the per-file form, and the report names the file and what it cost.
  const std::string setDir = sandbox.Dir() + "/set";
  std::filesystem::create_directories(setDir);
  std::string first = original;
  const size_t damagedBlock = framing.blocks / 2;
  first[framing.blockStarts[damagedBlock]] = static_cast<char>(0xEE);  // the packet header byte
  const char* kNames[] = {"kivlog-LOCAL-1.txt", "kivlog-LOCAL-2.txt", "kivlog-LOCAL-3.txt"};
  kivtest::WriteFile(setDir + "/" + kNames[0], first);
  kivtest::WriteFile(setDir + "/" + kNames[1], original);
  kivtest::WriteFile(setDir + "/" + kNames[2], original);
  const std::string skipped = std::to_string(original.size() - framing.blockStarts[damagedBlock]);
  auto single = faults::ExportDirectory(setDir, sandbox.Dir() + "/setexport", 20);
  EXPECT_EQ(single.run.exitCode, 255);
  const std::string report = single.run.out + single.run.err;
  EXPECT_NE(report.find(kNames[0]), std::string::npos) << report;
  EXPECT_NE(report.find(skipped + " bytes skipped"), std::string::npos) << report;
  const auto numbers = faults::RecordNumbers(single.text, "bf");
  for (long n = 0; n < kRecords; ++n) {
    const size_t copies = inBlock[damagedBlock].count(n) == 0 && n < *inBlock[damagedBlock].begin() ? 3 : 2;
    ASSERT_EQ(numbers.count(n), copies) << "record " << n;
  }
  const std::string perFileDir = sandbox.Dir() + "/perfile";
  std::filesystem::create_directories(perFileDir);
  auto perFile =
      faults::RunBounded("kivtool", {"export", "-d", setDir, "-m", perFileDir, "-silent"}, sandbox.Dir(), 20);
  EXPECT_EQ(perFile.exitCode, 255);
  EXPECT_NE((perFile.out + perFile.err).find(kNames[0]), std::string::npos);
  for (int f = 1; f < 3; ++f) {
    const auto whole = faults::RecordNumbers(
        kivtest::ReadFile(perFileDir + "/EXPORT-kivlog-LOCAL-" + std::to_string(f + 1) + ".txt"), "bf");
    EXPECT_EQ(whole.size(), static_cast<size_t>(kRecords));
    EXPECT_EQ(std::set<long>(whole.begin(), whole.end()).size(), static_cast<size_t>(kRecords));
  }
}
