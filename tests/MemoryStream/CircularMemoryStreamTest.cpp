#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "MemoryStream/CircularMemoryInputStream.h"
#include "MemoryStream/CircularMemoryOutputStream.h"
#include "Support/Validation2Exception.h"

namespace {

// A ring region surrounded by guard words, so that any access outside the
// region shows up as a changed guard (and under ASan as an error when the
// region is the whole allocation, see RingOnHeap).
struct Ring {
  explicit Ring(uint32_t capacity)
      : words(2 + (CircularMemoryBuffer::RegionSizeFor(capacity) + 3) / 4 + 2, kGuard) {
    length = CircularMemoryBuffer::RegionSizeFor(capacity);
    std::memset(Region(), 0, length);
    CircularMemoryOutputStream(Region(), length).Initialize();
  }
  uint8_t* Region() { return reinterpret_cast<uint8_t*>(words.data() + 2); }
  CircularBufferHeader& Header() { return *reinterpret_cast<CircularBufferHeader*>(Region()); }
  uint8_t* Data() { return Region() + CircularMemoryBuffer::HeaderSize; }
  bool GuardsIntact() const {
    size_t tail = 2 + (length + 3) / 4;
    return words[0] == kGuard && words[1] == kGuard && words[tail] == kGuard && words[tail + 1] == kGuard;
  }
  CircularMemoryOutputStream Writer() { return {Region(), length}; }
  CircularMemoryInputStream Reader() { return {Region(), length}; }

  static constexpr uint32_t kGuard = 0xA5A5A5A5;
  std::vector<uint32_t> words;
  size_t length;
};

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

}  // namespace

TEST(CircularMemoryStream, FreshRingIsEmptyWithCapacityFromTheRegion) {
  Ring ring(512);
  EXPECT_EQ(ring.Header().m_ReadPosition, 0u);
  EXPECT_EQ(ring.Header().m_WritePosition, 0u);
  EXPECT_EQ(ring.Header().m_Capacity, 512u);
  EXPECT_EQ(ring.Reader().GetDataLength(), 0u);
  EXPECT_EQ(ring.Writer().GetFreeRoom(), 511u);
}

TEST(CircularMemoryStream, HoldsAtMostCapacityMinusOneAndDropsWholeWritesThatDoNotFit) {
  Ring ring(512);
  auto writer = ring.Writer();
  EXPECT_FALSE(writer.write(Bytes(512).data(), 512));
  EXPECT_EQ(ring.Header().m_WritePosition, 0u);

  EXPECT_TRUE(writer.write(Bytes(511).data(), 511));
  EXPECT_EQ(ring.Reader().GetDataLength(), 511u);
  EXPECT_EQ(writer.GetFreeRoom(), 0u);
  EXPECT_FALSE(writer.write(Bytes(1).data(), 1));
  EXPECT_EQ(ring.Header().m_WritePosition, 511u);
  EXPECT_TRUE(writer.write(nullptr, 0));
  EXPECT_TRUE(ring.GuardsIntact());
}

TEST(CircularMemoryStream, WriteNeedingOneByteMoreThanTheFreeRoomIsDroppedWhole) {
  Ring ring(512);
  auto writer = ring.Writer();
  auto reader = ring.Reader();
  // Move both positions near the end so the free room spans the wrap.
  ASSERT_TRUE(writer.write(Bytes(500).data(), 500));
  reader.Skip(490);
  ASSERT_TRUE(writer.write(Bytes(20).data(), 20));  // write position wraps to 8
  ASSERT_EQ(ring.Header().m_WritePosition, 8u);
  const uint32_t free = writer.GetFreeRoom();
  ASSERT_EQ(free, 490u - 8u - 1u);

  std::vector<uint8_t> before(ring.Data(), ring.Data() + 512);
  EXPECT_FALSE(writer.write(Bytes(free + 1).data(), free + 1));
  EXPECT_EQ(ring.Header().m_WritePosition, 8u);
  EXPECT_EQ(std::vector<uint8_t>(ring.Data(), ring.Data() + 512), before);

  EXPECT_TRUE(writer.write(Bytes(free).data(), free));
  EXPECT_EQ(reader.GetDataLength(), 511u);
}

TEST(CircularMemoryStream, WriteReachingTheEndLeavesWritePositionZero) {
  Ring ring(512);
  auto writer = ring.Writer();
  auto reader = ring.Reader();
  ASSERT_TRUE(writer.write(Bytes(100).data(), 100));
  reader.Skip(100);
  ASSERT_TRUE(writer.write(Bytes(412).data(), 412));
  EXPECT_EQ(ring.Header().m_WritePosition, 0u);
  EXPECT_EQ(reader.GetDataLength(), 412u);
  std::vector<uint8_t> out(412);
  reader.read(out.data(), out.size());
  EXPECT_EQ(out, Bytes(412));
  EXPECT_EQ(ring.Header().m_ReadPosition, 0u);
}

TEST(CircularMemoryStream, WrappedWriteIsSplitAcrossTheEndAndReadsBackInOrder) {
  Ring ring(64);
  auto writer = ring.Writer();
  auto reader = ring.Reader();
  ASSERT_TRUE(writer.write(Bytes(50).data(), 50));
  reader.Skip(50);
  const auto payload = Bytes(30, 100);
  ASSERT_TRUE(writer.write(payload.data(), payload.size()));
  EXPECT_EQ(ring.Header().m_WritePosition, 16u);
  // 14 bytes at the end of the data area, 16 at its start.
  EXPECT_EQ(0, std::memcmp(ring.Data() + 50, payload.data(), 14));
  EXPECT_EQ(0, std::memcmp(ring.Data(), payload.data() + 14, 16));

  std::vector<uint8_t> out(30);
  reader.read(out.data(), out.size());
  EXPECT_EQ(out, payload);
  EXPECT_EQ(reader.GetDataLength(), 0u);
  EXPECT_TRUE(ring.GuardsIntact());
}

TEST(CircularMemoryStream, ReadingMoreThanStoredFailsAndConsumesNothing) {
  Ring ring(64);
  auto writer = ring.Writer();
  auto reader = ring.Reader();
  ASSERT_TRUE(writer.write(Bytes(5).data(), 5));
  uint8_t out[8] = {};
  try {
    reader.read(out, 6);
    FAIL() << "read past the stored data";
  } catch (const LogicException& e) {
    EXPECT_STREQ(e.what(), "Bad logic:Insufficent data to be read");
  }
  EXPECT_THROW(reader.Skip(6), LogicException);
  EXPECT_EQ(reader.GetDataLength(), 5u);
  reader.read(out, 5);
  EXPECT_EQ(out[4], 5);
}

TEST(CircularMemoryStream, MappingAnExistingRingKeepsItsContent) {
  Ring ring(64);
  ASSERT_TRUE(ring.Writer().write(Bytes(10).data(), 10));
  // A second party attaching to the same region (as a process mapping an
  // existing ring does) must not reset it.
  CircularMemoryInputStream late(ring.Region(), ring.length);
  EXPECT_EQ(late.GetDataLength(), 10u);
  EXPECT_EQ(ring.Header().m_WritePosition, 10u);
}

TEST(CircularMemoryStream, DamagedHeadersAreRejectedWithoutTouchingMemory) {
  struct Case {
    const char* what;
    CircularBufferHeader header;
  } cases[] = {
      {"capacity larger than the region", {0, 0, 513}},
      {"capacity smaller than the region", {0, 0, 100}},
      {"capacity zero", {0, 0, 0}},
      {"read position at capacity", {512, 0, 512}},
      {"write position at capacity", {0, 512, 512}},
      {"read position huge", {0xFFFFFFFF, 3, 512}},
      {"write position huge", {3, 0xFFFFFFFF, 512}},
      {"everything huge", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ring ring(512);
    std::memset(ring.Data(), 0x5C, 512);
    ring.Header() = c.header;
    auto writer = ring.Writer();
    auto reader = ring.Reader();
    uint8_t out[16] = {};
    EXPECT_FALSE(writer.IsHeaderValid());
    EXPECT_THROW(writer.write(Bytes(16).data(), 16), LogicException);
    EXPECT_THROW(writer.GetFreeRoom(), LogicException);
    EXPECT_THROW(reader.GetDataLength(), LogicException);
    EXPECT_THROW(reader.read(out, 1), LogicException);
    EXPECT_THROW(reader.SkipAll(), LogicException);
    // Nothing was written anywhere, header included.
    EXPECT_EQ(ring.Header().m_ReadPosition, c.header.m_ReadPosition);
    EXPECT_EQ(ring.Header().m_WritePosition, c.header.m_WritePosition);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(ring.Data()[i], 0x5C) << i;
    EXPECT_TRUE(ring.GuardsIntact());
    // The creator can recover its ring.
    writer.Initialize();
    EXPECT_TRUE(writer.write(Bytes(16).data(), 16));
    EXPECT_EQ(reader.GetDataLength(), 16u);
  }
}

TEST(CircularMemoryStream, RefusesRegionsItCannotHold) {
  alignas(4) uint8_t region[64] = {};
  EXPECT_THROW(CircularMemoryInputStream(nullptr, 64), LogicException);
  EXPECT_THROW(CircularMemoryInputStream(region, 13), LogicException);
  EXPECT_THROW(CircularMemoryInputStream(region + 1, 32), LogicException);
  EXPECT_NO_THROW(CircularMemoryInputStream(region, 14));
}

TEST(CircularMemoryStream, RandomWritesAndReadsMatchAQueue) {
  for (uint32_t capacity : {2u, 3u, 7u, 64u}) {
    SCOPED_TRACE(capacity);
    Ring ring(capacity);
    auto writer = ring.Writer();
    auto reader = ring.Reader();
    std::deque<uint8_t> model;
    std::mt19937 rng(capacity);
    uint8_t next = 0;
    for (int step = 0; step < 20000; ++step) {
      uint32_t n = rng() % (capacity + 1);
      if (rng() % 2) {
        std::vector<uint8_t> data(n);
        for (auto& b : data) b = next++;
        bool fits = model.size() + n <= capacity - 1;
        ASSERT_EQ(writer.write(data.data(), n), fits);
        if (fits)
          model.insert(model.end(), data.begin(), data.end());
        else
          next = static_cast<uint8_t>(next - n);
      } else if (n <= model.size()) {
        std::vector<uint8_t> out(n);
        reader.read(out.data(), n);
        ASSERT_TRUE(std::equal(out.begin(), out.end(), model.begin()));
        model.erase(model.begin(), model.begin() + n);
      } else {
        ASSERT_THROW(reader.read(nullptr, n), LogicException);
      }
      ASSERT_EQ(reader.GetDataLength(), model.size());
    }
    EXPECT_TRUE(ring.GuardsIntact());
  }
}

TEST(CircularMemoryStream, OneWriterAndOneReaderThreadPassEveryRecordInOrder) {
  Ring ring(97);
  constexpr uint32_t kRecords = 50000;
  std::thread producer([&] {
    auto writer = ring.Writer();
    for (uint32_t i = 0; i < kRecords;) {
      uint32_t record[3] = {i, i * 7u, ~i};
      if (writer.write(record, sizeof record))
        ++i;
      else
        std::this_thread::yield();
    }
  });
  auto reader = ring.Reader();
  uint32_t expected = 0;
  while (expected < kRecords) {
    if (reader.GetDataLength() < 12) {
      std::this_thread::yield();
      continue;
    }
    uint32_t record[3];
    reader.read(record, sizeof record);
    ASSERT_EQ(record[0], expected);
    ASSERT_EQ(record[1], expected * 7u);
    ASSERT_EQ(record[2], ~expected);
    ++expected;
  }
  producer.join();
  EXPECT_EQ(reader.GetDataLength(), 0u);
}
