#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "MemoryStream/MemoryInputStream.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/ControlEvents.h"
#include "TraceData/JsonRecord.h"
#include "TraceData/TraceDataReader.h"
#include "TraceDataTestUtil.h"

using namespace tracetest;
using testing::MatchesRegex;

namespace {

// Lines are rendered in local time: pin it to UTC for exact expectations.
class TextRendering : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    m_HadTz = tz != nullptr;
    if (m_HadTz) m_OldTz = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (m_HadTz) {
      setenv("TZ", m_OldTz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  static uint32_t Utc(int year, int month, int day, int hour, int minute, int second) {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<uint32_t>(timegm(&t));
  }

  static std::string Render(const Bytes& bytes, const char* separator, std::string* progress = nullptr) {
    MemoryInputStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
    std::ostringstream progressStream;
    SmartBufferOutputStream<65536> out;
    KivDataTextExporter<MemoryInputStream, std::ostringstream> exporter(in, progressStream, separator,
                                                                        progress != nullptr);
    exporter >> out;
    if (progress) *progress = progressStream.str();
    return std::string(out.c_str_data(), out.GetLength());
  }

  bool m_HadTz = false;
  std::string m_OldTz;
};

}  // namespace

TEST_F(TextRendering, CommaSeparatorWritesNamesUnpadded) {
  TraceRecordFields f{
      1, TraceTimestamp{Utc(2026, 10, 2, 14, 3, 7), 5, 0, 0, 0}, 3086887840u, "mod", "lab", "cli", "text"};
  EXPECT_EQ(Render(Block({Record(f)}, 1234), ","),
            "10/02/2026 14:03:07.005,  1234, 3086887840,mod,lab,cli,text\n");
}

TEST_F(TextRendering, BlankSeparatorFitsNamesToTheirColumns) {
  TraceRecordFields f{
      1,    TraceTimestamp{Utc(2026, 7, 12, 8, 1, 49), 42, 0, 0, 0}, 7, "ABCDEFGHIJKLMNOP", "abc", "client",
      "msg"};
  const std::string line = Render(Block({Record(f)}, 1234), " ");
  EXPECT_EQ(line, "07/12/2026 08:01:49.042   1234           7 ABCDEFGH..OP abc        client       msg\n");
  EXPECT_EQ(line.find("msg"), 80u);  // the message starts in column 81
  // Longer numbers are written whole.
  EXPECT_EQ(Render(Block({Record(f)}, 1234567), " ").substr(23, 9), " 1234567 ");
}

TEST_F(TextRendering, RecordWithoutFieldsShowsDeliveryTimeAndTheBlockProcess) {
  Bytes empty(15);
  TraceRecordBuilder::BuildRecordHeader(1, 0, empty.data());
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  const std::string line = Render(Block({empty}, 4711), " ");
  EXPECT_THAT(line, MatchesRegex("[0-9][0-9]/[0-9][0-9]/[0-9]{4} [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\.[0-9]{3}"
                                 "   4711           0 {38}\n"));
  tm t{};
  const time_t now = before;
  gmtime_r(&now, &t);
  EXPECT_EQ(line.substr(5, 6), "/" + std::to_string(t.tm_year + 1900) + " ");
}

TEST_F(TextRendering, MultiLineMessagesAreIndentedUnderTheMessageColumn) {
  TraceRecordFields f{1, TraceTimestamp{Utc(2026, 1, 1, 0, 0, 0), 0, 0, 0, 0}, 1, "m", "l", "c", ""};
  const std::string prefix =
      "01/01/2026 00:00:00.000   4711           1 m            l          c            ";
  ASSERT_EQ(prefix.size(), 80u);
  const std::string indent(79, ' ');

  f.m_MessageText = "first\nsecond\n";
  EXPECT_EQ(Render(Block({Record(f)}), " "), prefix + "first\n" + indent + "second\n");
  // Text after the last line feed is kept.
  f.m_MessageText = "first\nsecond";
  EXPECT_EQ(Render(Block({Record(f)}), " "), prefix + "first\n" + indent + "second\n");
  f.m_MessageText = "a\n\nb\n";
  EXPECT_EQ(Render(Block({Record(f)}), " "), prefix + "a\n" + indent + "\n" + indent + "b\n");
  f.m_MessageText = "\n";
  EXPECT_EQ(Render(Block({Record(f)}), " "), prefix + "\n");
}

TEST_F(TextRendering, ControlRecordsTellTheEvent) {
  auto control = [&](uint32_t code, uint32_t pid, const std::string& text = "") {
    TraceRecord<1024> r(1);
    AddControlFields(r, TraceTimestamp{Utc(2026, 1, 1, 0, 0, 0), 0, 0, 0, 0}, code, pid, text);
    const std::string line = Render(Block({Record(r)}, 100), ",");
    return line.substr(line.find('['));
  };
  EXPECT_EQ(control(1, 4711), "[Control message from process 4711]:Client attached \n");
  EXPECT_EQ(control(2, 1), "[Control message from process 1]:Client detached \n");
  EXPECT_EQ(control(3, 1), "[Control message from process 1]:Pauseed tracing \n");
  EXPECT_EQ(control(4, 1), "[Control message from process 1]:Resumeed tracing \n");
  EXPECT_EQ(control(5, 1), "[Control message from process 1]:Reloaded configuration \n");
  EXPECT_EQ(control(6, 1), "[Control message from process 1]:Turned on preservation \n");
  EXPECT_EQ(control(7, 1), "[Control message from process 1]:Turned off preservation \n");
  EXPECT_EQ(control(99, 1), "[Control message from process 1]:Unknown control message:99 \n");
  EXPECT_EQ(control(8, 4711, RecordsLostText(250)),
            "[Control message from process 4711]:250 records lost \n");
}

TEST_F(TextRendering, OverlongLinesStillEndWithTheirLineFeed) {
  const TraceTimestamp when{Utc(2026, 1, 1, 0, 0, 0), 0, 0, 0, 0};
  auto record = [&](const std::string& part1, const std::string& part2) {
    TraceRecord<1024> r(1);
    r << TracePacket<TraceTimestamp>(when, TracePacketShared::Timestamp) << TracePacket<std::string>(part1, 0)
      << TracePacket<std::string>(part2, 0);
    return Record(r);
  };
  // Indented continuation lines, and plain text, each far past 2048.
  const std::string feeds(1016, '\n');
  const std::string text = Render(
      Block({record(feeds, feeds), record(std::string(1016, 'y'), std::string(1016, 'z')), record("a", "b")}),
      " ");
  ASSERT_EQ(text.size(), 2048u + 2048u + 83u);
  EXPECT_EQ(text[2047], '\n');
  EXPECT_EQ(text.substr(2048, 11), "01/01/2026 ");
  EXPECT_EQ(text.substr(2048 + 80, 1016), std::string(1016, 'y'));
  EXPECT_EQ(text.substr(2048 + 80 + 1016, 951), std::string(951, 'z'));
  EXPECT_EQ(text[4095], '\n');
  EXPECT_EQ(text.substr(4096, 11), "01/01/2026 ");
  EXPECT_EQ(text.substr(4096 + 80), "ab\n");
}

TEST(LegacyKivRecord, LeapSecondRendersAsSixty) {
  tm t{};
  t.tm_year = 2016 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 60;
  LegacyKivRecord::Line line;
  LegacyKivRecord::FormatTime(line, t, 7);
  EXPECT_EQ(line.View(), "12/31/2016 23:59:60.007");
}

TEST(LegacyKivRecord, NamesAreCutAtFiftyAndLinesAt2048) {
  // Borrowed by the record: alive until it renders.
  const std::string module(60, 'm'), first(1500, 'a'), second(1500, 'b');
  LegacyKivRecord record(",");
  record.SetModuleName(module);
  record.AppendMessage(first);
  record.AppendMessage(second);
  char line[LegacyKivRecord::kMaxLineLength];
  std::string text(line, record.Render(line));
  ASSERT_EQ(text.size(), 2048u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find(std::string(50, 'm') + ","), std::string::npos);
  EXPECT_EQ(text.find(std::string(51, 'm')), std::string::npos);
  EXPECT_EQ(text.substr(text.find('a') + 1500, 10), std::string(10, 'b'));
  record.Reset();
  EXPECT_THAT(std::string(line, record.Render(line)), testing::EndsWith("          0,,,,\n"));
  // A fitted column shortens the cut name: its end is the fiftieth character.
  LegacyKivRecord fitted(" ");
  const std::string longName = std::string(48, 'x') + "yz" + "cut off";
  fitted.SetModuleName(longName);
  text.assign(line, fitted.Render(line));
  EXPECT_EQ(text.substr(43, 13), "xxxxxxxx..yz ");
}

TEST(ProgressReporter, PrintsOnlyWhenThePercentageChanges) {
  std::ostringstream out;
  ProgressReporter<std::ostringstream> progress(out);
  progress.SetProgress(0.005);
  EXPECT_EQ(out.str(), "");
  progress.SetProgress(0.57);
  EXPECT_EQ(out.str(), "*****.....  [ 57%]" + std::string(18, '\b'));
  progress.SetProgress(0.575);
  EXPECT_EQ(out.str().size(), 36u);
  out.str("");
  progress.SetProgress(1.0);
  EXPECT_EQ(out.str(), "**********  [100%]" + std::string(18, '\b'));
}

TEST_F(TextRendering, ProgressFollowsTheInputThroughTheBlocks) {
  TraceRecordFields f{1, TraceTimestamp{Utc(2026, 1, 1, 0, 0, 0), 0, 0, 0, 0}, 1, "m", "l", "c", "x"};
  const Bytes one = Block({Record(f)});
  std::string progress;
  Render(Concat({one, one, one, one}), " ", &progress);
  const std::string back(18, '\b');
  EXPECT_EQ(progress, "**........  [ 25%]" + back + "*****.....  [ 50%]" + back + "*******...  [ 75%]" +
                          back + "**********  [100%]" + back);
}

namespace {

std::string RenderJson(const Bytes& bytes, bool utc = true) {
  MemoryInputStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  std::string out;
  auto sink = [&](const DecodedRecord& record) { AppendJsonRecord(out, record, utc); };
  DecodedRecordCollector<decltype(sink)> collector(sink);
  TraceBlockReader<DecodedRecordCollector<decltype(sink)>> reader(collector);
  while (in.GetDataLength() > 0) reader.Process(in);
  return out;
}

}  // namespace

TEST_F(TextRendering, JsonLinesCarryEveryFieldInSequenceOrder) {
  TraceRecordFields f{7,     TraceTimestamp{Utc(2026, 10, 2, 14, 3, 7), 5, 0, 0, 0}, 99, "mod", "lab", "cli",
                      "text"};
  TraceRecordFields g = f;
  g.m_SequenceNumber = 6;
  g.m_HasClientName = false;
  EXPECT_EQ(RenderJson(Block({Record(f), Record(g)}, 1234, "h1")),
            "{\"time\":\"2026-10-02T14:03:07.005Z\",\"seq\":6,\"host\":\"h1\",\"pid\":1234,\"tid\":99,"
            "\"module\":\"mod\",\"label\":\"lab\",\"client\":\"\",\"message\":\"text\"}\n"
            "{\"time\":\"2026-10-02T14:03:07.005Z\",\"seq\":7,\"host\":\"h1\",\"pid\":1234,\"tid\":99,"
            "\"module\":\"mod\",\"label\":\"lab\",\"client\":\"cli\",\"message\":\"text\"}\n");
  // Local time carries the reader's offset.
  setenv("TZ", "XYZ-05:30", 1);
  tzset();
  EXPECT_THAT(RenderJson(Block({Record(f)}), false),
              testing::StartsWith("{\"time\":\"2026-10-02T19:33:07.005+05:30\""));

  TraceRecord<1024> r(1);
  AddControlFields(r, TraceTimestamp{Utc(2026, 1, 1, 0, 0, 0), 0, 0, 0, 0}, 3, 42, "");
  EXPECT_THAT(RenderJson(Block({Record(r)})),
              testing::HasSubstr("\"control\":{\"code\":3,\"name\":\"tracing_paused\"},\"client\":\"\","
                                 "\"message\":\"Pauseed tracing\"}\n"));
  TraceRecord<1024> unknown(1);
  AddControlFields(unknown, TraceTimestamp{}, 99, 42, "");
  EXPECT_THAT(RenderJson(Block({Record(unknown)})),
              testing::HasSubstr("{\"code\":99,\"name\":\"unknown\"},\"client\":\"\","
                                 "\"message\":\"Unknown control message:99\"}"));
  TraceRecord<1024> lost(1);
  AddControlFields(lost, TraceTimestamp{}, 8, 42, RecordsLostText(1234567890123));
  EXPECT_THAT(
      RenderJson(Block({Record(lost)})),
      testing::HasSubstr("{\"code\":8,\"name\":\"records_lost\",\"lost\":1234567890123},\"client\":\"\","
                         "\"message\":\"1234567890123 records lost\"}"));
}

TEST(JsonString, EscapesEveryByteThatIsNotPlainValidText) {
  auto json = [](std::string_view text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
  };
  EXPECT_EQ(json("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(json(std::string("\n\r\t\b\f\x01\x1f\x7f\0", 9)),
            "\"\\n\\r\\t\\b\\f\\u0001\\u001f\\u007f\\u0000\"");
  // Valid multi-byte sequences pass whole; anything else is one U+FFFD a byte.
  EXPECT_EQ(json("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
  EXPECT_EQ(
      json("\xff\xc3(\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82"),
      "\"\\ufffd\\ufffd(\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\"");
}
