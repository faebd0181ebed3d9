#pragma once
// Packet decoder over any input stream offering read(destination, length)
// (exactly `length` bytes or raise). When the stream also offers
// GetDataLength() (bytes still unread), every length taken from the input is
// checked against it before anything is copied.
//
// Valid packets carry at most 1016 data bytes (the encoder cuts longer data),
// so a larger declared length is refused as damage before any allocation,
// whatever the stream.

#include <cstdint>
#include <string>

#include "Support/Validation2Exception.h"
#include "TraceData/TracePacket.h"

template <class InputStream>
class TracePacketDeserializer {
 public:
  struct Attributes {
    bool m_Variant = false;
    TracePacketShared::DataType m_DataType = TracePacketShared::DataType::Invalid;
    uint16_t m_Identifier = 0;
    uint32_t m_DataLength = 0;
  };

  explicit TracePacketDeserializer(InputStream& stream) : m_Stream(stream) {}

  // Reads the header byte, the identifier and the length of the next packet
  // and marks them read, so that the following value read takes the data.
  // Raises "Invalid trace packet header" for a header byte that fails
  // VerifyIntegrity and "Trace packet data length out of range" for a length
  // above 1016; "Insufficent data to read" (or the stream's own error) when
  // the input ends early.
  const Attributes& ReadAttributes() {
    TracePacketShared::Header header;
    m_Stream.read(&header.m_Value, 1);
    Validation2Exception::CheckLogic(header.VerifyIntegrity(), "Invalid trace packet header");
    m_Attributes.m_Variant = header.GetVariant();
    m_Attributes.m_DataType = header.GetDataType();
    m_Attributes.m_Identifier = 0;
    if (header.HasIdentifier()) m_Stream.read(&m_Attributes.m_Identifier, 2);
    if (TracePacketShared::HasExplicitLength(m_Attributes.m_DataType)) {
      m_Stream.read(&m_Attributes.m_DataLength, 4);
      Validation2Exception::CheckLogic(m_Attributes.m_DataLength <= TracePacketShared::kMaxDataLength,
                                       "Trace packet data length out of range");
    } else {
      m_Attributes.m_DataLength = TracePacketShared::GetDataLengthByDataType(m_Attributes.m_DataType);
    }
    m_AttributesRead = true;
    return m_Attributes;
  }

  bool AttributesRead() const { return m_AttributesRead; }
  const Attributes& GetAttributes() const { return m_Attributes; }

  // Reads a String packet whole. Raises "Not a trace packet with string data
  // type" for any other type.
  TracePacketDeserializer& operator>>(std::string& text) {
    EnsureAttributes();
    Validation2Exception::CheckLogic(m_Attributes.m_DataType == TracePacketShared::DataType::String,
                                     "Not a trace packet with string data type");
    CheckAvailable(m_Attributes.m_DataLength);
    text.resize(m_Attributes.m_DataLength);
    if (!text.empty()) m_Stream.read(text.data(), text.size());
    m_AttributesRead = false;
    return *this;
  }

  // Reads a fixed-length value or a Binary structure; the packet's data
  // length must equal sizeof(T), else "Incorrect data length for specified
  // data type.".
  template <class T>
  TracePacketDeserializer& operator>>(T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    EnsureAttributes();
    Validation2Exception::CheckLogic(m_Attributes.m_DataLength == sizeof(T),
                                     "Incorrect data length for specified data type.");
    m_Stream.read(&value, sizeof(T));
    m_AttributesRead = false;
    return *this;
  }

  // Reads the current packet's data into `destination`, which holds at least
  // kMaxDataLength bytes (a larger length never gets past ReadAttributes).
  // Returns the data length.
  uint32_t ReadData(void* destination) {
    EnsureAttributes();
    CheckAvailable(m_Attributes.m_DataLength);
    if (m_Attributes.m_DataLength != 0) m_Stream.read(destination, m_Attributes.m_DataLength);
    m_AttributesRead = false;
    return m_Attributes.m_DataLength;
  }

  // Consumes the current packet's data and returns where it lies, without
  // copying; for streams over memory that offer ReadView(length).
  const uint8_t* ReadDataView() requires requires(InputStream& s) { s.ReadView(uint32_t{}); }
  {
    EnsureAttributes();
    CheckAvailable(m_Attributes.m_DataLength);
    const uint8_t* data = m_Stream.ReadView(m_Attributes.m_DataLength);
    m_AttributesRead = false;
    return data;
  }

  // Consumes the current packet's data without delivering it.
  void Skip() {
    EnsureAttributes();
    CheckAvailable(m_Attributes.m_DataLength);
    if constexpr (requires(InputStream & s) { s.Skip(uint32_t{}); }) {
      m_Stream.Skip(m_Attributes.m_DataLength);
    } else {
      uint8_t scratch[TracePacketShared::kMaxDataLength];
      if (m_Attributes.m_DataLength != 0) m_Stream.read(scratch, m_Attributes.m_DataLength);
    }
    m_AttributesRead = false;
  }

  InputStream& GetStream() { return m_Stream; }

 private:
  void EnsureAttributes() {
    if (!m_AttributesRead) ReadAttributes();
  }
  void CheckAvailable(uint64_t length) {
    if constexpr (requires(const InputStream& s) { s.GetDataLength(); }) {
      Validation2Exception::CheckLogic(length <= static_cast<uint64_t>(m_Stream.GetDataLength()),
                                       "Insufficent data to read");
    }
  }

  InputStream& m_Stream;
  Attributes m_Attributes;
  bool m_AttributesRead = false;
};
