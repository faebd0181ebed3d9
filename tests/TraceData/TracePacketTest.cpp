#include "TraceData/TracePacket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "MemoryStream/MemoryInputStream.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/BuiltInTracePackets.h"

using namespace TracePacketShared;
using Bytes = std::vector<uint8_t>;

namespace {

template <class T>
Bytes Encode(const TracePacket<T>& packet) {
  SmartBufferOutputStream<1024> out;
  TracePacketSerializer<SmartBufferOutputStream<1024>>(out) << packet;
  return Bytes(out.Data(), out.Data() + out.GetLength());
}

// A 12-byte message header as the client/dispatcher messages carry it.
struct Registration {
  uint32_t m_SourceId, m_Type, m_Code;
};

}  // namespace

TEST(TracePacket, RegistrationMessageEncodesToSeventeenBytes) {
  EXPECT_EQ(Encode(TracePacket<Registration>(Registration{4711, 1, 0})),
            (Bytes{0x0A, 0x0C, 0, 0, 0, 0x67, 0x12, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(TracePacket, StringPacketsCarryIdentifierOnlyWhenNotZeroAndAreCutAt1016) {
  EXPECT_EQ(Encode(TracePacket<std::string>("hi", MessageText)), (Bytes{0x09, 2, 0, 0, 0, 'h', 'i'}));
  EXPECT_EQ(Encode(TracePacket<std::string>("m", ModuleName)), (Bytes{0x29, 32, 0, 1, 0, 0, 0, 'm'}));
  EXPECT_EQ(Encode(TracePacket<std::string>("")), (Bytes{0x09, 0, 0, 0, 0}));

  std::string big(2000, 'x');
  big[1015] = 'L';
  big[1016] = 'C';
  Bytes encoded = Encode(TracePacket<std::string>(big));
  ASSERT_EQ(encoded.size(), 5u + 1016u);
  EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + 5), (Bytes{0x09, 0xF8, 0x03, 0, 0}));
  EXPECT_EQ(encoded.back(), 'L');
}

TEST(TracePacket, FixedLengthTypesWriteNoLength) {
  EXPECT_EQ(Encode(TracePacket<uint32_t>(0x01020304u, ThreadId)), (Bytes{0x24, 3, 0, 4, 3, 2, 1}));
  EXPECT_EQ(Encode(TracePacket<uint16_t>(0x0102)), (Bytes{0x03, 2, 1}));
  EXPECT_EQ(Encode(TracePacket<uint8_t>(7, 0, true)), (Bytes{0x11, 7}));
  EXPECT_EQ(Encode(TracePacket<char>('a')), (Bytes{0x02, 'a'}));
  EXPECT_EQ(Encode(TracePacket<double>(1.0)).size(), 9u);
}

TEST(TracePacket, HeaderIntegrityAndDataLengths) {
  const Header h{0x2A};
  EXPECT_TRUE(h.VerifyIntegrity());
  EXPECT_EQ(h.GetDataType(), DataType::Binary);
  EXPECT_TRUE(h.HasIdentifier());
  EXPECT_FALSE(h.GetVariant());
  EXPECT_FALSE(Header{0x49}.VerifyIntegrity());
  for (uint8_t code : {0, 6, 7, 8, 11, 12, 13, 14, 15})
    EXPECT_FALSE(Header{code}.VerifyIntegrity()) << int(code);
  for (uint8_t code : {1, 2, 3, 4, 5, 9, 10}) {
    EXPECT_TRUE(Header{code}.VerifyIntegrity()) << int(code);
    EXPECT_TRUE(Header{static_cast<uint8_t>(code | 0x30)}.VerifyIntegrity()) << int(code);
    EXPECT_FALSE(Header{static_cast<uint8_t>(code | 0x80)}.VerifyIntegrity()) << int(code);
  }
  EXPECT_EQ(GetDataLengthByDataType(DataType::Byte), 1u);
  EXPECT_EQ(GetDataLengthByDataType(DataType::Char), 1u);
  EXPECT_EQ(GetDataLengthByDataType(DataType::Short), 2u);
  EXPECT_EQ(GetDataLengthByDataType(DataType::Long), 4u);
  EXPECT_EQ(GetDataLengthByDataType(DataType::Double), 8u);
  EXPECT_EQ(GetDataLengthByDataType(DataType::String), 0u);
  EXPECT_EQ(GetDataLengthByDataType(DataType::Binary), 0u);
  EXPECT_EQ(GetDataLengthByDataType(DataType{7}), 0u);
}

TEST(TracePacket, RecordAndBlockHeaderPacketsAreByteExact) {
  EXPECT_EQ(Encode(TracePacket<TraceRecordHeader>(TraceRecordHeader{0x11223344, 0x55}, RecordHeader)),
            (Bytes{0x2A, 0x0A, 0, 0x08, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0x55, 0, 0, 0}));

  TraceBlockHeader header(9, 4711);
  Bytes block = Encode(TracePacket<TraceBlockHeader>(header, BlockHeader));
  ASSERT_EQ(block.size(), 47u);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 7), (Bytes{0x2A, 0x0B, 0x00, 0x28, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(block.end() - 8, block.end()), (Bytes{0x67, 0x12, 0, 0, 9, 0, 0, 0}));

  uint8_t built[47];
  ASSERT_EQ(TraceRecordBuilder::BuildBlockHeader(header, built), 47u);
  EXPECT_EQ(Bytes(built, built + 47), block);
}

TEST(TracePacket, BlockHeaderNamesTheHostAndDefaultsToOwnProcess) {
  TraceBlockHeader own(0, 0);
  EXPECT_EQ(own.m_ProcessId, static_cast<uint32_t>(getpid()));
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(std::string(own.m_HostName), std::string(host).substr(0, 31));
  EXPECT_EQ(own.m_HostName[31], '\0');
}

TEST(TracePacket, DecodesWhatWasEncoded) {
  SmartBufferOutputStream<1024> out;
  TracePacketSerializer<SmartBufferOutputStream<1024>> s(out);
  s << TracePacket<std::string>("", MessageText) << TracePacket<std::string>("abc", LabelName)
    << TracePacket<uint32_t>(99u, ThreadId) << TracePacket<TraceRecordHeader>(TraceRecordHeader{5, 6}, 10);

  MemoryInputStream in(out.Data(), out.GetLength());
  TracePacketDeserializer<MemoryInputStream> d(in);
  std::string text = "junk";
  d >> text;
  EXPECT_EQ(text, "");
  EXPECT_EQ(d.ReadAttributes().m_Identifier, LabelName);
  EXPECT_TRUE(d.AttributesRead());
  d >> text;  // attributes already read: takes the data only
  EXPECT_EQ(text, "abc");
  EXPECT_FALSE(d.AttributesRead());
  uint32_t thread = 0;
  d >> thread;
  EXPECT_EQ(thread, 99u);
  TraceRecordHeader header;
  d >> header;
  EXPECT_EQ(header.m_SequenceNumber, 5u);
  EXPECT_EQ(header.m_BodyLength, 6u);
  EXPECT_EQ(in.GetDataLength(), 0u);
}

TEST(TracePacket, DecoderRefusesDamageBeforeCopying) {
  auto failure = [](Bytes bytes, auto read) {
    MemoryInputStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
    TracePacketDeserializer<MemoryInputStream> d(in);
    try {
      read(d);
    } catch (const std::logic_error& e) {
      return std::string(e.what());
    }
    return std::string("no failure");
  };
  using D = TracePacketDeserializer<MemoryInputStream>;
  std::string s;
  uint32_t v = 0;
  EXPECT_THAT(failure({0x09, 10, 0, 0, 0, 'a'}, [&](D& d) { d >> s; }),
              testing::HasSubstr("Insufficent data to read"));
  EXPECT_THAT(failure({0x09, 0xFF, 0xFF, 0xFF, 0xFF}, [&](D& d) { d >> s; }),
              testing::HasSubstr("Trace packet data length out of range"));
  EXPECT_THAT(failure({0x29, 0}, [&](D& d) { d >> s; }), testing::HasSubstr("Insufficent data to read"));
  EXPECT_THAT(failure({0x49, 0}, [&](D& d) { d >> s; }), testing::HasSubstr("Invalid trace packet header"));
  EXPECT_THAT(failure({0x04, 1, 2, 3, 4}, [&](D& d) { d >> s; }),
              testing::HasSubstr("Not a trace packet with string data type"));
  EXPECT_THAT(failure({0x03, 1, 2}, [&](D& d) { d >> v; }),
              testing::HasSubstr("Incorrect data length for specified data type."));
  EXPECT_THAT(failure({0x0A, 2, 0, 0, 0, 1, 2}, [&](D& d) { d >> v; }),
              testing::HasSubstr("Incorrect data length for specified data type."));
  EXPECT_THAT(failure({0x0A, 9, 0, 0, 0, 1, 2}, [&](D& d) { d.Skip(); }),
              testing::HasSubstr("Insufficent data to read"));
  EXPECT_EQ(
      failure({}, [&](D& d) { d.ReadAttributes(); }).find("Insufficent data to read") != std::string::npos,
      true);
}
