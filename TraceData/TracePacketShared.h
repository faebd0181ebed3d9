#pragma once
// The trace packet encoding shared by trace records, trace blocks and the
// client/dispatcher messages. A packet is a header byte, a 16-bit identifier
// (only when not 0), a 32-bit data length (only for the explicit-length types)
// and the data. All integers are little-endian, nothing is padded.

#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "trace packets are laid out as little-endian host structures");

namespace TracePacketShared {

enum class DataType : uint8_t {
  Invalid = 0,
  Byte = 1,
  Char = 2,
  Short = 3,
  Long = 4,
  Double = 5,
  String = 9,
  Binary = 10,
};

// Data length of the fixed-length types; 0 for String, Binary and every
// invalid code (their length is read from the packet, or there is none).
constexpr uint32_t GetDataLengthByDataType(DataType type) {
  switch (type) {
    case DataType::Byte:
    case DataType::Char:
      return 1;
    case DataType::Short:
      return 2;
    case DataType::Long:
      return 4;
    case DataType::Double:
      return 8;
    default:
      return 0;
  }
}

// Types whose data length travels in the packet (bit 3 of the type code).
constexpr bool HasExplicitLength(DataType type) { return (static_cast<uint8_t>(type) & 0x08) != 0; }

// Longest data a packet carries; longer data is cut to this when encoded.
inline constexpr uint32_t kMaxDataLength = 1016;
// Header byte + identifier + length.
inline constexpr uint32_t kMaxAttributesLength = 7;
// An encoded packet always fits in this scratch.
inline constexpr uint32_t kScratchSize = 1024;

// The header byte: bits 0-3 type code, bit 4 variant flag, bit 5 identifier
// present, bits 6-7 zero.
struct Header {
  uint8_t m_Value = 0;

  static constexpr Header Make(bool variant, bool hasIdentifier, DataType type) {
    return Header{static_cast<uint8_t>((variant ? 0x10 : 0) | (hasIdentifier ? 0x20 : 0) |
                                       (static_cast<uint8_t>(type) & 0x0F))};
  }
  constexpr DataType GetDataType() const { return static_cast<DataType>(m_Value & 0x0F); }
  constexpr bool GetVariant() const { return (m_Value & 0x10) != 0; }
  constexpr bool HasIdentifier() const { return (m_Value & 0x20) != 0; }

  // True for a known type code with bits 6 and 7 clear.
  constexpr bool VerifyIntegrity() const {
    if (m_Value >= 64) return false;
    switch (GetDataType()) {
      case DataType::Byte:
      case DataType::Char:
      case DataType::Short:
      case DataType::Long:
      case DataType::Double:
      case DataType::String:
      case DataType::Binary:
        return true;
      default:
        return false;
    }
  }
};
static_assert(sizeof(Header) == 1);

// Size of the encoded packet for data of `length` bytes (after the cut to
// kMaxDataLength).
constexpr uint32_t EncodedSize(DataType type, uint16_t identifier, uint32_t length) {
  if (length > kMaxDataLength) length = kMaxDataLength;
  return 1 + (identifier != 0 ? 2 : 0) + (HasExplicitLength(type) ? 4 : 0) + length;
}

// Encodes the attributes of a packet of `length` data bytes (at most
// kMaxDataLength) at `out`: the header byte, the identifier unless 0, the
// length for the explicit-length types. Returns their size; the data follows.
inline uint32_t EncodePacketHeader(uint8_t* out, bool variant, DataType type, uint16_t identifier,
                                   uint32_t length) {
  uint8_t* p = out;
  *p++ = Header::Make(variant, identifier != 0, type).m_Value;
  if (identifier != 0) {
    std::memcpy(p, &identifier, 2);
    p += 2;
  }
  if (HasExplicitLength(type)) {
    std::memcpy(p, &length, 4);
    p += 4;
  }
  return static_cast<uint32_t>(p - out);
}

// Encodes one packet at `out`, which must hold EncodedSize(type, identifier,
// length) bytes; data longer than kMaxDataLength is cut. For the fixed-length
// types `length` must be their data length. Returns the bytes written.
inline uint32_t EncodePacket(uint8_t* out, bool variant, DataType type, uint16_t identifier, const void* data,
                             uint32_t length) {
  if (length > kMaxDataLength) length = kMaxDataLength;
  const uint32_t header = EncodePacketHeader(out, variant, type, identifier, length);
  if (length != 0) std::memcpy(out + header, data, length);
  return header + length;
}

}  // namespace TracePacketShared
