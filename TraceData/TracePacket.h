#pragma once
// Chief header of the packet encoding: the in-memory packet `TracePacket<T>`
// plus the encoder and decoder (TracePacketSerializer.h,
// TracePacketDeserializer.h).
//
//   SmartBufferOutputStream<1024> out;
//   TracePacketSerializer<SmartBufferOutputStream<1024>> s(out);
//   s << TracePacket<MyMessage>(message) << TracePacket<std::string>(text, 33);

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "TraceData/TracePacketShared.h"

namespace TracePacketShared {

// The data type a value of T travels as: the integral and floating types by
// width, strings as String, every other (trivially copyable) structure as
// Binary laid out byte for byte.
template <class T>
constexpr DataType DataTypeOf() {
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
    return DataType::String;
  } else if constexpr (std::is_same_v<T, char>) {
    return DataType::Char;
  } else if constexpr (std::is_same_v<T, double>) {
    return DataType::Double;
  } else if constexpr (std::is_integral_v<T> && sizeof(T) == 1) {
    return DataType::Byte;
  } else if constexpr (std::is_integral_v<T> && sizeof(T) == 2) {
    return DataType::Short;
  } else if constexpr (std::is_integral_v<T> && sizeof(T) == 4) {
    return DataType::Long;
  } else {
    static_assert(std::is_trivially_copyable_v<T>, "only plain structures travel as Binary packets");
    return DataType::Binary;
  }
}

}  // namespace TracePacketShared

// One packet to be encoded: attributes plus a pointer to the value. The value
// is borrowed, not copied: it must outlive the packet (packets are meant to be
// built and streamed in one expression).
template <class T>
class TracePacket {
 public:
  explicit TracePacket(const T& value, uint16_t identifier = 0, bool variant = false)
      : m_Variant(variant), m_DataType(TracePacketShared::DataTypeOf<T>()), m_Identifier(identifier) {
    if constexpr (TracePacketShared::DataTypeOf<T>() == TracePacketShared::DataType::String) {
      m_Data = value.data();
      m_DataLength = static_cast<uint32_t>(value.size() > UINT32_MAX ? UINT32_MAX : value.size());
    } else {
      m_Data = &value;
      m_DataLength = sizeof(T);
    }
  }

  bool m_Variant;
  TracePacketShared::DataType m_DataType;
  uint16_t m_Identifier;
  uint32_t m_DataLength;  // before the cut to kMaxDataLength
  const void* m_Data;
};

#include "TraceData/TracePacketDeserializer.h"
#include "TraceData/TracePacketSerializer.h"
