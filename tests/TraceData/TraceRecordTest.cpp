#include "TraceData/TraceRecord.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "MemoryStream/MemoryInputStream.h"
#include "TraceData/BuiltInTracePackets.h"

using namespace TracePacketShared;
using Bytes = std::vector<uint8_t>;

namespace {

struct CapturingDestination {
  std::vector<Bytes> writes;
  void write(const void* data, size_t length) {
    auto* p = static_cast<const uint8_t*>(data);
    writes.emplace_back(p, p + length);
  }
};

}  // namespace

TEST(TraceRecord, WritesOneBlockInOneWriteWithOwnPidForZero) {
  CapturingDestination destination;
  TraceBlock<CapturingDestination, 65536> block(destination, 0);
  TraceRecord<1024> record(77);
  AddControlFields(record, TraceTimestamp{1000, 5, 0, 0, 0}, ClientAttached, 4711, "");
  record >> block;

  ASSERT_EQ(destination.writes.size(), 1u);
  const Bytes& w = destination.writes[0];
  const uint32_t body = 19 + 15 + 5;  // Timestamp, ControlMessage, empty MessageText
  ASSERT_EQ(w.size(), 47u + 15u + body);
  MemoryInputStream in(w.data(), static_cast<uint32_t>(w.size()));
  TracePacketDeserializer<MemoryInputStream> d(in);
  TraceBlockHeader bh;
  d >> bh;
  EXPECT_EQ(bh.m_ProcessId, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(bh.m_BodyLength, 15u + body);
  TraceRecordHeader rh;
  d >> rh;
  EXPECT_EQ(rh.m_SequenceNumber, 77u);
  EXPECT_EQ(rh.m_BodyLength, body);
  TraceTimestamp t;
  d >> t;
  EXPECT_EQ(t.m_Seconds, 1000u);
  EXPECT_EQ(d.GetAttributes().m_Identifier, Timestamp);
  ControlMessagePacketHeader c;
  d >> c;
  EXPECT_EQ(c.m_Code, 1u);
  EXPECT_EQ(c.m_ProcessId, 4711u);
  std::string text = "x";
  d >> text;
  EXPECT_EQ(text, "");
  EXPECT_EQ(d.GetAttributes().m_Identifier, MessageText);
  EXPECT_EQ(in.GetDataLength(), 0u);
}

TEST(TraceRecordBuilder, BuildsTheSameBytesAsThePacketEncoder) {
  TraceRecordFields f{42,     TraceTimestamp{1700000000, 123, -60, 0, 0}, 3086887840u, "mod", "lab", "cli",
                      "hello"};
  uint8_t buffer[TraceRecordBuilder::kMaxRecordSize];
  const uint32_t n = TraceRecordBuilder::BuildRecord(f, buffer, sizeof buffer);
  ASSERT_EQ(n, TraceRecordBuilder::RecordSize(f));

  TraceRecord<1024> record(42);
  record << TracePacket<TraceTimestamp>(f.m_Timestamp, Timestamp)
         << TracePacket<uint32_t>(f.m_ThreadId, ThreadId)
         << TracePacket<std::string_view>(f.m_ModuleName, ModuleName)
         << TracePacket<std::string_view>(f.m_LabelName, LabelName)
         << TracePacket<std::string_view>(f.m_ClientName, ClientName)
         << TracePacket<std::string_view>(f.m_MessageText, MessageText);
  SmartBufferOutputStream<1024> expected;
  record.WriteTo(expected);
  EXPECT_EQ(Bytes(buffer, buffer + n), Bytes(expected.Data(), expected.Data() + expected.GetLength()));

  // Too small a buffer: nothing written, 0 returned.
  uint8_t small[20] = {};
  EXPECT_EQ(TraceRecordBuilder::BuildRecord(f, small, sizeof small), 0u);
  EXPECT_EQ(small[0], 0);

  // The longest possible record fits the documented maximum exactly.
  std::string big(5000, 'z');
  TraceRecordFields longest{1, {}, 1, big, big, big, big};
  EXPECT_EQ(TraceRecordBuilder::BuildRecord(longest, buffer, sizeof buffer),
            TraceRecordBuilder::kMaxRecordSize);
}

TEST(TraceRecordBuilder, WrapsRecordsIntoABlock) {
  CapturingDestination destination;
  TraceBlock<CapturingDestination, 1024> block(destination, 4711);
  const uint8_t records[3] = {1, 2, 3};
  block.WriteRecords(records, 3);
  ASSERT_EQ(destination.writes.size(), 1u);
  const Bytes& w = destination.writes[0];
  ASSERT_EQ(w.size(), 50u);
  EXPECT_EQ(Bytes(w.begin(), w.begin() + 7), (Bytes{0x2A, 0x0B, 0, 0x28, 0, 0, 0}));
  EXPECT_EQ(Bytes(w.begin() + 39, w.end()), (Bytes{0x67, 0x12, 0, 0, 3, 0, 0, 0, 1, 2, 3}));
}

// The stamp is counted between reads of the wall clock: it must stay within
// the wall clock's millisecond, on a thread that measured the counter's rate
// and on one that only uses it, across a whole measurement period.
TEST(TraceTimestamp, NowKeepsToTheWallClockOnEveryThread) {
  auto wallMs = [] {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
  };
  auto check = [&] {
    const int64_t end = wallMs() + 60;
    for (int64_t before = wallMs(); before < end; before = wallMs()) {
      const TraceTimestamp t = TraceTimestamp::Now();
      const int64_t stamp = int64_t{t.m_Seconds} * 1000 + t.m_Milliseconds;
      const int64_t after = wallMs();
      ASSERT_GE(stamp, before - 1);
      ASSERT_LE(stamp, after + 1);
    }
  };
  check();
  std::thread(check).join();
}
