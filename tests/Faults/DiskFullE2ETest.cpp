// A full disk under the dispatcher's log directory: a small tmpfs mounted
// there, filled up and emptied again.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include "Faults/FaultSupport.h"
#include "TestSupport/ProtocolClient.h"

namespace {

class DiskFullE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string logDir = sandbox.Dir() + "/log";
  bool mounted = false;

  void SetUp() override {
    std::filesystem::create_directories(logDir);
    if (mount("tmpfs", logDir.c_str(), "tmpfs", 0, "size=256k") != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
    mounted = true;
  }
  void TearDown() override {
    if (mounted) umount2(logDir.c_str(), MNT_DETACH);
  }

  // Fills the file system with one file; returns its path.
  std::string Fill() {
    const std::string path = logDir + "/filler";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    std::string chunk(4096, 'x');
    while (write(fd, chunk.data(), chunk.size()) > 0) {
    }
    for (;;) {  // the last few bytes too
      if (write(fd, chunk.data(), 1) != 1) break;
    }
    close(fd);
    return path;
  }
};

long Write(kivtest::ProtocolClient& client, const std::string& tag, long count) {
  const std::string pad(100, '.');
  for (long n = 0; n < count; ++n) {
    client.WriteRecord(tag + "#" + std::to_string(n) + ";" + pad);
    if (n % 20 == 19 && !client.WaitUntilDrained()) return n + 1;
  }
  client.WaitUntilDrained();
  return count;
}

}  // namespace

TEST_F(DiskFullE2E, DispatcherWritesAgainOnceThereIsRoomAndNeverLeavesPartialBlocks) {
  sandbox.WriteConfig(faults::Config("$(OLVAN_VORNEL_DIR)/log", "32"));
  faults::Dispatcher dispatcher(sandbox);
  ASSERT_TRUE(dispatcher.Start());
  kivtest::ProtocolClient client;
  ASSERT_TRUE(client.Register());

  ASSERT_EQ(Write(client, "before", 100), 100);
  const std::string filler = Fill();
  // Enough to need new files (32 KiB each) while there is no room at all.
  ASSERT_EQ(Write(client, "full", 600), 600);
  ASSERT_TRUE(dispatcher.Running());
  unlink(filler.c_str());
  ASSERT_EQ(Write(client, "after", 100), 100);
  ASSERT_TRUE(client.Unregister());
  ASSERT_TRUE(dispatcher.Running());
  ASSERT_TRUE(dispatcher.Stop());

  // Every block in every file is whole: a write cut short by the full disk
  // left nothing behind.
  auto files = faults::LogFiles(logDir);
  ASSERT_FALSE(files.empty());
  for (const auto& f : files) {
    auto framing = faults::CheckFraming(f);
    EXPECT_TRUE(framing.intact) << f << ": " << framing.problem;
  }
  auto e = faults::ExportDirectory(logDir, sandbox.Dir() + "/export");
  EXPECT_EQ(e.run.exitCode, 0) << e.run.out << e.run.err;
  EXPECT_EQ(faults::RecordNumbers(e.text, "before").size(), 100u);
  EXPECT_EQ(faults::RecordNumbers(e.text, "after").size(), 100u);
  const long full = static_cast<long>(faults::RecordNumbers(e.text, "full").size());
  EXPECT_LT(full, 600) << "the disk was never full";
  faults::ReportCounts("disk full (256 KiB tmpfs), records written while full", 600, full);
  faults::ReportCounts("disk full, records before and after", 200,
                       static_cast<long>(faults::RecordNumbers(e.text, "before").size() +
                                         faults::RecordNumbers(e.text, "after").size()));
}
