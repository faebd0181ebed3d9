#include "TraceData/TraceBlockReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MemoryStream/MemoryInputStream.h"
#include "TraceDataTestUtil.h"

using namespace tracetest;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

// Records what a reader delivers: one entry per completed record,
// "<text>" or "<text>@<pid>" when asked for the process id.
struct RecordingClient {
  std::vector<std::string> records;
  std::string text, host;
  uint32_t pid = 0, thread = 0;
  bool withPid = false;
  int failOnText = -1;  // a record whose text is this number fails delivery

  void OnRecordBegin() {
    text.clear();
    host.clear();
    pid = thread = 0;
  }
  void OnRead(std::string_view s, uint16_t id) {
    if (id == TracePacketShared::MessageText) text += s;
    if (id == TracePacketShared::HostName) host = s;
    if (failOnText >= 0 && text == std::to_string(failOnText)) throw std::runtime_error("consumer failed");
  }
  void OnRead(uint32_t v, uint16_t id) {
    if (id == TracePacketShared::ProcessId) pid = v;
    if (id == TracePacketShared::ThreadId) thread = v;
  }
  void OnRead(const uint8_t*, uint32_t, uint16_t) {}
  void OnRecordEnd() { records.push_back(withPid ? text + "@" + std::to_string(pid) : text); }
};

Bytes Numbered(std::initializer_list<uint32_t> sequences) {
  std::vector<Bytes> records;
  for (uint32_t s : sequences) records.push_back(TextRecord(s, std::to_string(s)));
  return Block(records);
}

template <uint32_t Window = 1000>
std::vector<std::string> ReadAll(const Bytes& bytes, RecordingClient& client, uint32_t* damaged = nullptr) {
  MemoryInputStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  TraceBlockReader<RecordingClient, Window> reader(client);
  while (in.GetDataLength() > 0) reader.Process(in);
  if (damaged) *damaged = reader.GetDamagedBlockCount();
  return client.records;
}

}  // namespace

TEST(TraceBlockReader, DeliversRecordsInUnsignedSequenceOrderWithinABlock) {
  RecordingClient c;
  EXPECT_THAT(ReadAll(Numbered({5, 3, 4}), c), ElementsAre("3", "4", "5"));
  RecordingClient d;
  EXPECT_THAT(ReadAll(Numbered({4294967295u, 0, 7, 7}), d), ElementsAre("0", "7", "7", "4294967295"));
}

TEST(TraceBlockReader, NeverMergesBlocks) {
  RecordingClient c;
  // A block in order after one out of order, and the other way round.
  EXPECT_THAT(ReadAll(Concat({Numbered({9, 8}), Numbered({2, 3}), Numbered({2, 1})}), c),
              ElementsAre("8", "9", "2", "3", "1", "2"));
}

TEST(TraceBlockReader, WindowDeliversTheSmallestWhenFull) {
  RecordingClient c;
  // Window 3: 5 4 3 fill it, 2 pushes out 3, 1 pushes out 2, the end drains.
  EXPECT_THAT(ReadAll<3>(Numbered({5, 4, 3, 2, 1}), c), ElementsAre("3", "2", "1", "4", "5"));
}

TEST(ReOrderer, FirstDeliveryComesWithTheRecordAfterAFullWindow) {
  struct Seq {
    uint32_t s;
    uint32_t GetSequenceNumber() const { return s; }
  };
  struct Helper {
    std::vector<uint32_t> out;
    void Process(const Seq& r) { out.push_back(r.s); }
  } helper;
  {
    ReOrderer<Seq, Helper, 1000> q(helper);
    for (uint32_t i = 0; i < 1000; ++i) q.Push(Seq{1499 - i % 500 - 500 * (i / 500)});
    EXPECT_TRUE(helper.out.empty());
    q.Push(Seq{1000});
    ASSERT_EQ(helper.out.size(), 1u);
    EXPECT_EQ(helper.out[0], 500u);  // the smallest of the first 1000
    for (uint32_t i = 1001; i < 1500; ++i) q.Push(Seq{i});
    EXPECT_EQ(q.Size(), 1000u);
  }  // destruction drains the rest
  ASSERT_EQ(helper.out.size(), 1500u);
  EXPECT_EQ(helper.out.back(), 1499u);
}

TEST(TraceBlockReader, FifteenHundredSortedRecordsComeOutInOrder) {
  std::vector<Bytes> records;
  for (uint32_t i = 0; i < 1500; ++i) records.push_back(TextRecord(i, std::to_string(i)));
  RecordingClient c;
  auto out = ReadAll(Block(records), c);
  ASSERT_EQ(out.size(), 1500u);
  for (uint32_t i = 0; i < 1500; ++i) ASSERT_EQ(out[i], std::to_string(i));
}

TEST(TraceBlockReader, EmptyBlockConsumesItsHeaderOnly) {
  Bytes bytes = Concat({Block({}), Numbered({1})});
  MemoryInputStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  RecordingClient c;
  TraceBlockReader<RecordingClient> reader(c);
  reader.Process(in);
  EXPECT_EQ(in.GetPosition(), 47u);
  EXPECT_TRUE(c.records.empty());
  reader.Process(in);
  EXPECT_THAT(c.records, ElementsAre("1"));
}

TEST(TraceBlockReader, BlockProcessIdIsFedFirstAndTheBodyOverridesIt) {
  TraceRecord<1024> withPid(2);
  withPid << TracePacket<std::string>("b", 0) << TracePacket<uint32_t>(99u, TracePacketShared::ProcessId);
  const Bytes own = Record(withPid);
  RecordingClient c;
  c.withPid = true;
  EXPECT_THAT(ReadAll(Block({TextRecord(1, "a"), own}, 4711, "myhost"), c), ElementsAre("a@4711", "b@99"));
  EXPECT_EQ(c.host, "myhost");
}

TEST(TraceBlockReader, ConsumerFailureDropsThatRecordOnly) {
  RecordingClient c;
  c.failOnText = 2;
  EXPECT_THAT(ReadAll(Numbered({1, 2, 3}), c), ElementsAre("1", "3"));
}

TEST(TraceBlockReader, IgnoredPacketTypesAreConsumedNotDelivered) {
  // Body: Byte, Char, Short, Double, variant Long, Long thread id, text.
  const Bytes body = {0x01, 7, 0x02, 'c', 0x03, 1, 2, 0x05, 1, 2, 3, 4,    5, 6, 7, 8, 0x14,
                      1,    2, 3,    4,   0x24, 3, 0, 9,    0, 0, 0, 0x09, 1, 0, 0, 0, 'x'};
  Bytes record(15);
  TraceRecordBuilder::BuildRecordHeader(1, static_cast<uint32_t>(body.size()), record.data());
  record.insert(record.end(), body.begin(), body.end());
  RecordingClient c;
  EXPECT_THAT(ReadAll(Block({record}), c), ElementsAre("x"));
  EXPECT_EQ(c.thread, 9u);
}
