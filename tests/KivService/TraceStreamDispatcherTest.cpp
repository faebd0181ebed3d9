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

#include "KivService/FileStream.h"
#include "KivService/KivLocalTraceStreamDispatcher.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "KivService/SyslogOutput.h"
#include "TestSupport/CutMapping.h"
#include "TraceData/TraceRecordBuilder.h"
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

// The real dispatcher always has a syslog output; only one that is on
// needs blocks whole, so binary files otherwise take a ring's bytes as they lie.
TEST_F(TraceStreamDispatcherTest, BlocksGoAsPiecesUnlessTheSyslogOutputIsOn) {
  SyslogOutput syslog(server, collector);
  auto dispatcher = Make();
  server.BroadcastConfigChange();
  ASSERT_FALSE(syslog.IsOn());
  EXPECT_TRUE(dispatcher->TakesPieces());
  server.Config().m_Syslog.m_On = true;
  server.Config().m_Syslog.m_Server = "127.0.0.1";
  server.Config().m_Syslog.m_Port = FreePort();
  server.BroadcastConfigChange();
  ASSERT_TRUE(syslog.IsOn());
  EXPECT_FALSE(dispatcher->TakesPieces());
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

namespace {
// As MakeBlock, with times fixed so that every rendering of it is the same.
Bytes TimedBlock(const std::string& tag, int count) {
  std::vector<Bytes> records;
  for (int i = 0; i < count; ++i) {
    const std::string text = tag + " record " + std::to_string(i);
    TraceRecordFields fields{static_cast<uint32_t>(i + 1), {}, 7, "Module", "Label", "Client", text};
    fields.m_Timestamp.m_Seconds = 1700000000;
    records.push_back(tracetest::Record(fields));
  }
  return tracetest::Block(records);
}

// The lines of one block, as a text file holds them.
std::string TextLines(const Bytes& block) {
  RenderedBlock rendered;
  rendered.Render(KivTraceStreamDispatcher::TextFiles, block.data(), static_cast<uint32_t>(block.size()));
  return std::string(reinterpret_cast<const char*>(rendered.Data()), rendered.GetLength());
}
}  // namespace

TEST_F(TraceStreamDispatcherTest, TextFilesHoldRenderedLinesWhoeverRendersThem) {
  server.Config().m_LogFormat = "text";
  auto dispatcher = Make();
  Bytes block = TimedBlock("hello", 2);
  const auto length = static_cast<uint32_t>(block.size());
  EXPECT_TRUE(dispatcher->write(block.data(), length));
  // Rendered by the writer before the lock: the same lines.
  RenderedBlock rendered;
  EXPECT_TRUE(dispatcher->write(block.data(), length, nullptr, &rendered));
  auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  std::string text = kivtest::ReadFile(files[0]);
  ASSERT_GT(text.size(), 128u);
  EXPECT_EQ(text.substr(0, 128), FormatHeader(KivTextFileOutputSupport::GetHeader(), 128));
  const std::string lines = TextLines(block);
  EXPECT_NE(lines.find("hello record 0"), std::string::npos);
  EXPECT_NE(lines.find("hello record 1"), std::string::npos);
  EXPECT_EQ(lines.find(std::string(1, '\0')), std::string::npos);  // no binary data in a text file
  // In pieces, as from a client's ring: an output that renders takes them whole.
  const uint32_t header = TraceRecordBuilder::kBlockHeaderPacketSize;
  const iovec pieces[] = {{block.data(), header},
                          {block.data() + header, 10},
                          {block.data() + header + 10, length - header - 10}};
  EXPECT_EQ(dispatcher->WriteGathered(pieces, 3, 2, nullptr), KivTraceStreamDispatcher::Outcome::Written);
  text = kivtest::ReadFile(files[0]);
  EXPECT_EQ(text.substr(128), lines + lines + lines);

  // The output changed between rendering and writing: a rendering made for
  // another kind is never written as the block.
  auto binary = MakeFileStream(collector, server.Config(), "binary", "binary");
  rendered.Render(KivTraceStreamDispatcher::TextFiles, block.data(), length);
  binary->WriteRendered(block.data(), length, rendered);
  auto textual = MakeFileStream(collector, server.Config(), "text", "text");
  rendered.Render(KivTraceStreamDispatcher::BinaryFiles, block.data(), length);
  textual->WriteRendered(block.data(), length, rendered);
  ASSERT_EQ(LogFiles("binary").size(), 1u);
  ASSERT_EQ(LogFiles("text").size(), 1u);
  EXPECT_EQ(BinaryData(LogFiles("binary")[0]), AsText(block));
  EXPECT_EQ(kivtest::ReadFile(LogFiles("text")[0]).substr(128), lines);
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

TEST_F(TraceStreamDispatcherTest, APieceCutFromItsMappingFailsTheWriterNotTheOutput) {
  // Binary files take the pieces as they are, text files gather them
  // first: either way nothing of the block reaches the file, and the output
  // goes on.
  kivtest::CutMapping ring(sandbox.Dir() + "/ring");
  ASSERT_TRUE(ring.Ok());
  const Bytes block = TimedBlock("after the cut", 1);
  const uint32_t header = TraceRecordBuilder::kBlockHeaderPacketSize;
  for (const std::string format : {"binary", "text"}) {
    SCOPED_TRACE(format);
    server.Config().m_LogFormat = format;
    auto dispatcher = Make(format);
    const iovec cut[] = {
        {const_cast<uint8_t*>(block.data()), header}, {ring.Readable(), 100}, {ring.Cut(), 100}};
    EXPECT_EQ(dispatcher->WriteGathered(cut, 3, 1, nullptr),
              KivTraceStreamDispatcher::Outcome::SourceFaulted);
    EXPECT_TRUE(dispatcher->write(block.data(), static_cast<uint32_t>(block.size())));
    ASSERT_EQ(LogFiles(format).size(), 1u);
    const std::string file = LogFiles(format)[0];
    if (format == "text")
      EXPECT_EQ(kivtest::ReadFile(file).substr(128), TextLines(block));
    else
      EXPECT_EQ(BinaryData(file), AsText(block));
  }
}

TEST_F(TraceStreamDispatcherTest, ADamagedBlockNeverReachesTheWriterAsAnError) {
  server.Config().m_LogFormat = "text";
  auto dispatcher = Make();
  RenderedBlock rendered;
  const Bytes before = TimedBlock("before damage", 1), after = TimedBlock("after damage", 1);
  std::string expected;
  for (RenderedBlock* writerRenders : {static_cast<RenderedBlock*>(nullptr), &rendered}) {
    SCOPED_TRACE(writerRenders ? "rendered by the writer" : "rendered under the lock");
    // Good records, then garbage: the lines before the damage still go out.
    Bytes damaged = before;
    damaged.insert(damaged.end(), 300, 0xEE);
    bool written = true;
    EXPECT_NO_THROW(written = dispatcher->write(damaged.data(), static_cast<uint32_t>(damaged.size()),
                                                nullptr, writerRenders));
    EXPECT_FALSE(written);
    // The output goes on with the next block.
    EXPECT_TRUE(dispatcher->write(after.data(), static_cast<uint32_t>(after.size()), nullptr, writerRenders));
    expected += TextLines(before) + TextLines(after);
    ASSERT_EQ(LogFiles().size(), 1u);
    EXPECT_EQ(kivtest::ReadFile(LogFiles()[0]).substr(128), expected);
  }
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
  // Each writer renders with its own RenderedBlock outside the lock; the
  // lines of one block still land together.
  for (const std::string format : {"binary", "text"}) {
    SCOPED_TRACE(format);
    server.Config().m_LogFormat = format;
    auto dispatcher = Make(format);
    constexpr int kThreads = 4, kBlocks = 50;
    std::vector<Bytes> blocks;
    std::vector<std::string> units;  // what one block becomes in the file
    for (int t = 0; t < kThreads; ++t) {
      blocks.push_back(TimedBlock("writer " + std::to_string(t), 20));
      units.push_back(format == "text" ? TextLines(blocks[t]) : AsText(blocks[t]));
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
      writers.emplace_back([&, t] {
        RenderedBlock rendered;
        for (int i = 0; i < kBlocks; ++i)
          dispatcher->write(blocks[t].data(), static_cast<uint32_t>(blocks[t].size()), nullptr, &rendered);
      });
    // A reload in the middle must not tear a block either.
    server.BroadcastConfigChange();
    for (auto& w : writers) w.join();

    std::string all;
    for (const auto& file : LogFiles(format))
      all += format == "text" ? kivtest::ReadFile(file).substr(128) : BinaryData(file);
    std::vector<int> counts(kThreads, 0);
    size_t at = 0;
    while (at < all.size()) {
      bool matched = false;
      for (int t = 0; t < kThreads && !matched; ++t)
        if (all.compare(at, units[t].size(), units[t]) == 0) {
          ++counts[t];
          at += units[t].size();
          matched = true;
        }
      ASSERT_TRUE(matched) << "torn block at offset " << at;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(counts[t], kBlocks);
  }
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
