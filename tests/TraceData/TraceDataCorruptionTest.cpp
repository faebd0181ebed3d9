// Damaged and hostile input: what is delivered and what is reported.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "MemoryStream/MemoryInputStream.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/TraceDataReader.h"
#include "TraceDataTestUtil.h"

using namespace tracetest;
using testing::HasSubstr;

namespace {

// Three blocks: records 1-3, 4-6 and 7; each record's text is its number.
struct Fixture {
  std::vector<Bytes> blocks;
  Bytes all;
  Fixture() {
    blocks.push_back(Block({TextRecord(1, "1"), TextRecord(2, "2"), TextRecord(3, "3")}));
    blocks.push_back(Block({TextRecord(4, "4"), TextRecord(5, "5"), TextRecord(6, "6")}));
    blocks.push_back(Block({TextRecord(7, "7")}));
    all = Concat(blocks);
  }
  // Offset in `all` of record `n` (1-based) of the second block.
  size_t SecondBlockRecord(int n) const {
    return blocks[0].size() + 47 + (n - 1) * TextRecord(4, "4").size();
  }
};

struct Result {
  std::vector<std::string> messages;  // message column of each rendered line
  uint32_t damaged = 0;
  std::string damage;
  std::string thrown;
};

Result Render(const Bytes& bytes) {
  Result r;
  MemoryInputStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  std::ostringstream progress;
  SmartBufferOutputStream<1024> out;
  KivDataTextExporter<MemoryInputStream, std::ostringstream> exporter(in, progress, ",", false);
  try {
    exporter >> out;
  } catch (const std::logic_error& e) {
    r.thrown = e.what();
  }
  std::istringstream lines(std::string(out.c_str_data(), out.GetLength()));
  for (std::string line; std::getline(lines, line);) r.messages.push_back(line.substr(line.rfind(',') + 1));
  r.damaged = exporter.GetDamagedBlockCount();
  r.damage = exporter.GetLastDamage();
  return r;
}

using V = std::vector<std::string>;

}  // namespace

TEST(TraceDataCorruption, IntactInputRendersEverything) {
  Fixture f;
  Result r = Render(f.all);
  EXPECT_EQ(r.messages, (V{"1", "2", "3", "4", "5", "6", "7"}));
  EXPECT_EQ(r.damaged, 0u);
  EXPECT_EQ(r.thrown, "");
}

TEST(TraceDataCorruption, InvalidHeaderByteInABodyEndsTheBlockThere) {
  Fixture f;
  // The first body packet of record 5 (its MessageText header 0x09) becomes
  // 0x49: it must not be walked past as a zero-length packet.
  Bytes bytes = f.all;
  size_t at = f.SecondBlockRecord(2) + 15;
  ASSERT_EQ(bytes[at], 0x09);
  bytes[at] = 0x49;
  Result r = Render(bytes);
  EXPECT_EQ(r.messages, (V{"1", "2", "3", "4", "7"}));
  EXPECT_EQ(r.damaged, 1u);
  EXPECT_THAT(r.damage, HasSubstr("Invalid trace packet header"));
  EXPECT_EQ(r.thrown, "");

  bytes[at] = 0x06;  // a type code that does not exist
  EXPECT_EQ(Render(bytes).messages, (V{"1", "2", "3", "4", "7"}));

  // The same damage in a block out of order: the records before it still
  // come out, re-ordered; none after it does.
  Bytes unordered = Block({TextRecord(3, "3"), TextRecord(2, "2"), TextRecord(9, "9"), TextRecord(1, "1")});
  at = 47 + 2 * TextRecord(1, "1").size() + 15;
  ASSERT_EQ(unordered[at], 0x09);
  unordered[at] = 0x49;
  r = Render(Concat({unordered, f.blocks[2]}));
  EXPECT_EQ(r.messages, (V{"2", "3", "7"}));
  EXPECT_EQ(r.damaged, 1u);
}

TEST(TraceDataCorruption, RecordBodyLongerThanItsBlockDropsTheRestOfTheBlock) {
  Fixture f;
  Bytes bytes = f.all;
  size_t at = f.SecondBlockRecord(2) + 11;  // body length of record 5
  bytes[at] = 0xFF;
  bytes[at + 3] = 0x7F;
  Result r = Render(bytes);
  EXPECT_EQ(r.messages, (V{"1", "2", "3", "4", "7"}));
  EXPECT_THAT(r.damage, HasSubstr("Insufficent data to read"));
}

TEST(TraceDataCorruption, PacketCrossingTheEndOfItsRecordBody) {
  Fixture f;
  Bytes bytes = f.all;
  bytes[f.SecondBlockRecord(2) + 16] = 50;  // text length 50, body holds 1
  Result r = Render(bytes);
  EXPECT_EQ(r.messages, (V{"1", "2", "3", "4", "7"}));
  EXPECT_THAT(r.damage, HasSubstr("Insufficent data to read"));
}

TEST(TraceDataCorruption, RecordHeaderThatIsNotAnEightByteBinaryPacket) {
  Fixture f;
  Bytes bytes = f.all;
  bytes[f.SecondBlockRecord(1) + 3] = 9;  // record 4 header claims 9 bytes
  Result r = Render(bytes);
  EXPECT_EQ(r.messages, (V{"1", "2", "3", "7"}));
  EXPECT_THAT(r.damage, HasSubstr("Incorrect data length for specified data type."));
}

TEST(TraceDataCorruption, BlockBodyLongerThanTheInputFailsAfterEarlierBlocks) {
  Fixture f;
  Bytes cut(f.all.begin(), f.all.end() - 3);
  Result r = Render(cut);
  EXPECT_EQ(r.messages, (V{"1", "2", "3", "4", "5", "6"}));
  EXPECT_THAT(r.thrown, HasSubstr("Insufficent data to read"));

  // A declared 4 GiB body fails the same way, without trying to allocate it.
  Bytes huge = f.blocks[2];
  huge[43] = huge[44] = huge[45] = huge[46] = 0xFF;
  EXPECT_THAT(Render(huge).thrown, HasSubstr("Insufficent data to read"));
}

TEST(TraceDataCorruption, DamagedBlockHeaderFails) {
  Fixture f;
  Bytes bytes = f.blocks[0];
  bytes[0] = 0xAA;
  EXPECT_THAT(Render(bytes).thrown, HasSubstr("Invalid trace packet header"));
  bytes[0] = 0x2A;
  bytes[3] = 39;
  EXPECT_THAT(Render(bytes).thrown, HasSubstr("Incorrect data length for specified data type."));
}

TEST(TraceDataCorruption, EveryCutAndEveryFlipEndsCleanly) {
  Fixture f;
  const V full{"1", "2", "3", "4", "5", "6", "7"};
  for (size_t n = 0; n < f.all.size(); ++n) {
    Bytes cut(f.all.begin(), f.all.begin() + n);
    Result r = Render(cut);
    ASSERT_LE(r.messages.size(), full.size()) << n;
    // A cut never invents or reorders records: what comes out is a prefix.
    EXPECT_TRUE(std::equal(r.messages.begin(), r.messages.end(), full.begin())) << n;
    if (n != 0 && n != f.blocks[0].size() && n != f.blocks[0].size() + f.blocks[1].size()) {
      EXPECT_NE(r.thrown, "") << n;
    }
  }
  for (size_t i = 0; i < f.all.size(); ++i) {
    for (uint8_t bit = 0; bit < 8; ++bit) {
      Bytes flipped = f.all;
      flipped[i] ^= static_cast<uint8_t>(1u << bit);
      Result r = Render(flipped);
      EXPECT_LE(r.messages.size(), full.size() + 1) << i << ":" << int(bit);
    }
  }
}
