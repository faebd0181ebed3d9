// The trace stream dispatcher with local file outputs: what reaches the
// files, when a new file starts, the status entries, and the process-wide
// "LOCAL" instance.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KivService/KivLocalTraceStreamDispatcher.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "TraceOutputTestUtil.h"

using namespace outputtest;

namespace {

class TraceStreamDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logDir = sandbox.Dir() + "/logs";
    ASSERT_EQ(mkdir(logDir.c_str(), 0755), 0);
    UseLogDirectory(server.Config(), logDir);
  }
  std::unique_ptr<KivTraceStreamDispatcher> Make(const std::string& name = "LOCAL") {
    return std::make_unique<KivTraceStreamDispatcher>(server, collector, name);
  }
  std::vector<std::string> LogFiles(const std::string& name = "LOCAL") {
    return FilesWithPrefix(logDir, "kivlog-" + name + "-");
  }

  kivtest::Sandbox sandbox;
  std::string logDir;
  StatusReport::Collector collector;
  ConfigServer server;
};

}  // namespace

TEST_F(TraceStreamDispatcherTest, TraceOffAcceptsBlocksAndWritesNothing) {
  server.Config().m_TraceEnabled = false;
  auto dispatcher = Make();
  EXPECT_TRUE(dispatcher->write(MakeBlock("a").data(), static_cast<uint32_t>(MakeBlock("a").size())));
  EXPECT_FALSE(dispatcher->HasStream());
  EXPECT_TRUE(LogFiles().empty());
  EXPECT_EQ(CountStatus(collector, "Output\\Local\\Format"), 0);

  // Switching it on by a change takes effect at once.
  server.Config().m_TraceEnabled = true;
  server.BroadcastConfigChange();
  Bytes block = MakeBlock("b");
  dispatcher->write(block.data(), static_cast<uint32_t>(block.size()));
  ASSERT_EQ(LogFiles().size(), 1u);
  EXPECT_EQ(BinaryData(LogFiles()[0]), AsText(block));
}

TEST_F(TraceStreamDispatcherTest, AMissingLogDirectoryIsCreatedRatherThanLosingBlocks) {
  std::string nested = sandbox.Dir() + "/fresh/install/log";
  UseLogDirectory(server.Config(), nested);
  auto dispatcher = Make();
  Bytes block = MakeBlock("kept");
  EXPECT_TRUE(dispatcher->write(block.data(), static_cast<uint32_t>(block.size())));
  auto files = FilesWithPrefix(nested, "kivlog-LOCAL-");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(BinaryData(files[0]), AsText(block));
}

TEST_F(TraceStreamDispatcherTest, BinaryFilesHoldTheBlocksUnchangedAndInOrder) {
  auto dispatcher = Make("peer-x");
  Bytes a = MakeBlock("first", 1), b = MakeBlock("second", 3), c = MakeBlock("third", 2);
  for (const Bytes* block : {&a, &b, &c})
    EXPECT_TRUE(dispatcher->write(block->data(), static_cast<uint32_t>(block->size())));
  auto files = LogFiles("peer-x");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find(".txt"), std::string::npos);
  EXPECT_EQ(BinaryData(files[0]), AsText(a) + AsText(b) + AsText(c));
  EXPECT_EQ(dispatcher->CurrentOutputKind(), KivTraceStreamDispatcher::BinaryFiles);
}

TEST_F(TraceStreamDispatcherTest, StatusEntriesDescribeTheOutput) {
  server.Config().m_MaxBackups = 7;
  server.Config().m_MaxFileSize = 8192;
  server.Config().m_PreserveMaxBackups = 9;
  server.Config().m_PreserveMaxFileSize = 4096;
  auto dispatcher = Make();
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\Format"), "binary");
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\PreservationMode"), "off");
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\FileLocation"), logDir + "\\");
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\MaxFileCount"), "7");
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\MaxFileSize"), "8192");
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\ReservedMaxFileCount"), "9");
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\ReservedMaxfileSize"), "4096");

  server.Config().m_LogFormat = "text";
  server.Config().m_PreservationMode = true;
  server.BroadcastConfigChange();
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\Format"), "text");
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\PreservationMode"), "on");
  // The old stream's entries went with it.
  EXPECT_EQ(CountStatus(collector, "Output\\Local\\Format"), 1);
}

TEST_F(TraceStreamDispatcherTest, UnknownOrEmptyFormatGivesBinaryFiles) {
  for (const char* format : {"", "TEXT", "text "}) {
    server.Config().m_LogFormat = format;
    auto dispatcher = Make();
    EXPECT_EQ(dispatcher->CurrentOutputKind(), KivTraceStreamDispatcher::BinaryFiles) << format;
    EXPECT_EQ(StatusValue(collector, "Output\\Local\\Format"), "binary") << format;
  }
}

TEST_F(TraceStreamDispatcherTest, TextFilesHoldRenderedLines) {
  server.Config().m_LogFormat = "text";
  auto dispatcher = Make();
  Bytes block = MakeBlock("hello", 2);
  EXPECT_TRUE(dispatcher->write(block.data(), static_cast<uint32_t>(block.size())));
  auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  std::string text = kivtest::ReadFile(files[0]);
  ASSERT_GT(text.size(), 128u);
  EXPECT_EQ(text.substr(0, 128), FormatHeader(KivTextFileOutputSupport::GetHeader(), 128));
  EXPECT_NE(text.find("hello record 0"), std::string::npos);
  EXPECT_NE(text.find("hello record 1"), std::string::npos);
  EXPECT_EQ(text.find(std::string(1, '\0')), std::string::npos);  // no binary data in a text file
}

TEST_F(TraceStreamDispatcherTest, JsonFilesHoldWholeLinesAndRotateAndPruneLikeTheOthers) {
  server.Config().m_LogFormat = "json";
  server.Config().m_MaxFileSize = 600;
  server.Config().m_MaxBackups = 3;
  auto dispatcher = Make();
  EXPECT_EQ(dispatcher->CurrentOutputKind(), KivTraceStreamDispatcher::JsonFiles);
  for (int i = 0; i < 20; ++i) {
    Bytes block = MakeBlock("b" + std::to_string(i), 2);
    EXPECT_TRUE(dispatcher->write(block.data(), static_cast<uint32_t>(block.size())));
  }
  auto files = LogFiles();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(StatusValue(collector, "Output\\Local\\Format"), "json");
  for (const auto& file : files) {
    EXPECT_TRUE(file.ends_with(".json")) << file;
    std::string text = kivtest::ReadFile(file);
    // No header: every file starts with an object and ends with a whole line.
    EXPECT_EQ(text.front(), '{') << file;
    EXPECT_EQ(text.back(), '\n') << file;
  }
  EXPECT_NE(kivtest::ReadFile(files.back()).find(R"("message":"b19 record 1"})"), std::string::npos);
}

TEST_F(TraceStreamDispatcherTest, ADamagedBlockNeverReachesTheWriterAsAnError) {
  server.Config().m_LogFormat = "text";
  auto dispatcher = Make();
  Bytes garbage(300, 0xEE);
  bool written = true;
  EXPECT_NO_THROW(written = dispatcher->write(garbage.data(), static_cast<uint32_t>(garbage.size())));
  EXPECT_FALSE(written);
  // The output goes on with the next block.
  Bytes good = MakeBlock("after damage", 1);
  EXPECT_TRUE(dispatcher->write(good.data(), static_cast<uint32_t>(good.size())));
  ASSERT_FALSE(LogFiles().empty());
  EXPECT_NE(kivtest::ReadFile(LogFiles().back()).find("after damage record 0"), std::string::npos);
}

TEST_F(TraceStreamDispatcherTest, PauseDropsBlocksAndResumeStartsANewFile) {
  auto dispatcher = Make();
  Bytes before = MakeBlock("before"), during = MakeBlock("during"), after = MakeBlock("after");
  dispatcher->write(before.data(), static_cast<uint32_t>(before.size()));
  dispatcher->Pause();
  EXPECT_TRUE(dispatcher->IsPaused());
  EXPECT_FALSE(dispatcher->HasStream());
  EXPECT_EQ(CountStatus(collector, "Output\\Local\\Format"), 0);
  EXPECT_TRUE(dispatcher->write(during.data(), static_cast<uint32_t>(during.size())));
  // A change of settings while paused builds nothing.
  server.BroadcastConfigChange();
  EXPECT_FALSE(dispatcher->HasStream());
  dispatcher->Resume();
  EXPECT_FALSE(dispatcher->IsPaused());
  dispatcher->write(after.data(), static_cast<uint32_t>(after.size()));

  auto files = LogFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(BinaryData(files[0]), AsText(before));
  EXPECT_EQ(BinaryData(files[1]), AsText(after));
}

TEST_F(TraceStreamDispatcherTest, AReloadThatChangesNothingStillStartsANewFile) {
  auto dispatcher = Make();
  Bytes a = MakeBlock("a"), b = MakeBlock("b");
  dispatcher->write(a.data(), static_cast<uint32_t>(a.size()));
  server.BroadcastConfigChange();
  dispatcher->write(b.data(), static_cast<uint32_t>(b.size()));
  auto files = LogFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(BinaryData(files[0]), AsText(a));
  EXPECT_EQ(BinaryData(files[1]), AsText(b));
}

TEST_F(TraceStreamDispatcherTest, ConcurrentWritersNeverInterleaveBlocks) {
  auto dispatcher = Make();
  constexpr int kThreads = 4, kBlocks = 50;
  std::vector<Bytes> blocks;
  for (int t = 0; t < kThreads; ++t) blocks.push_back(MakeBlock("writer " + std::to_string(t), 20));
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < kBlocks; ++i)
        dispatcher->write(blocks[t].data(), static_cast<uint32_t>(blocks[t].size()));
    });
  // A reload in the middle must not tear a block either.
  server.BroadcastConfigChange();
  for (auto& w : writers) w.join();

  std::string all = AllBinaryData(logDir, "kivlog-LOCAL-");
  std::vector<int> counts(kThreads, 0);
  size_t at = 0;
  while (at < all.size()) {
    bool matched = false;
    for (int t = 0; t < kThreads && !matched; ++t)
      if (all.compare(at, blocks[t].size(), AsText(blocks[t])) == 0) {
        ++counts[t];
        at += blocks[t].size();
        matched = true;
      }
    ASSERT_TRUE(matched) << "torn block at offset " << at;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(counts[t], kBlocks);
}

TEST_F(TraceStreamDispatcherTest, DispatcherFollowsChangesOnlyWhileRegistered) {
  {
    auto dispatcher = Make();
    EXPECT_EQ(server.ClientCount(), 1u);
  }
  EXPECT_EQ(server.ClientCount(), 0u);
  // Made without registering (as network connections are): a change leaves
  // its output alone.
  KivTraceStreamDispatcher quiet(server, collector, "quiet", false);
  EXPECT_EQ(server.ClientCount(), 0u);
  server.Config().m_TraceEnabled = false;
  server.BroadcastConfigChange();
  EXPECT_TRUE(quiet.HasStream());
}

TEST_F(TraceStreamDispatcherTest, LocalInstanceIsSharedAndLivesWhileAHandleDoes) {
  KivTraceStreamDispatcher::s_Server = &server;
  KivLocalTraceStreamDispatcher::s_Collector = &collector;
  Bytes a = MakeBlock("from one"), b = MakeBlock("from two");
  {
    auto one = std::make_unique<KivLocalTraceStreamDispatcherHandle>();
    KivLocalTraceStreamDispatcherHandle two;
    EXPECT_EQ(one->Get(), two.Get());
    EXPECT_EQ(two->Name(), "LOCAL");
    EXPECT_EQ(server.ClientCount(), 1u);
    (*one)->write(a.data(), static_cast<uint32_t>(a.size()));
    one.reset();
    ASSERT_NE(two.Get(), nullptr);
    two->write(b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_EQ(CountStatus(collector, "Output\\Local\\Format"), 1);
  }
  // The last handle closed the output and unregistered.
  EXPECT_EQ(server.ClientCount(), 0u);
  EXPECT_EQ(CountStatus(collector, "Output\\Local\\Format"), 0);
  EXPECT_EQ(AllBinaryData(logDir, "kivlog-LOCAL-"), AsText(a) + AsText(b));

  // Without its server and collector it cannot be made, and a later attempt
  // with them set still works.
  KivTraceStreamDispatcher::s_Server = nullptr;
  EXPECT_THROW(KivLocalTraceStreamDispatcherHandle missing, std::logic_error);
  KivTraceStreamDispatcher::s_Server = &server;
  {
    KivLocalTraceStreamDispatcherHandle again;
    EXPECT_NE(again.Get(), nullptr);
  }
  KivTraceStreamDispatcher::s_Server = nullptr;
  KivLocalTraceStreamDispatcher::s_Collector = nullptr;
}
