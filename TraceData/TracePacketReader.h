#pragma once
// Delivers the packets of one record body to a record consumer.
//
// The consumer (`Client`) offers:
//   void OnRecordBegin();                                       // reset to defaults
//   void OnRead(std::string_view text, uint16_t id);            // String packets
//   void OnRead(uint32_t value, uint16_t id);                   // Long packets, variant flag clear
//   void OnRead(const uint8_t* data, uint32_t length, uint16_t id);  // Binary packets
//   void OnRecordEnd();                                         // after the last packet
// Views passed to OnRead are valid only during the call.

#include <cstdint>
#include <string_view>

#include "TraceData/TracePacket.h"

template <class InputStream, class Client>
class TracePacketReader {
 public:
  TracePacketReader(InputStream& stream, Client& client) : m_Deserializer(stream), m_Client(client) {}

  // Reads one packet and delivers it by type: Long (variant clear), String
  // and Binary go to the consumer; Byte, Char, Short, Double and variant Long
  // are consumed silently. Raises on damage (see TracePacketDeserializer).
  void Process() {
    using TracePacketShared::DataType;
    const auto& a = m_Deserializer.ReadAttributes();
    const uint16_t id = a.m_Identifier;
    switch (a.m_DataType) {
      case DataType::Long:
        if (!a.m_Variant) {
          uint32_t value = 0;
          m_Deserializer >> value;
          m_Client.OnRead(value, id);
          return;
        }
        break;
      case DataType::String: {
        const uint32_t length = a.m_DataLength;
        const char* text = reinterpret_cast<const char*>(Data());
        m_Client.OnRead(std::string_view(text, length), id);
        return;
      }
      case DataType::Binary: {
        const uint32_t length = a.m_DataLength;
        const uint8_t* data = Data();
        m_Client.OnRead(data, length, id);
        return;
      }
      default:
        break;
    }
    m_Deserializer.Skip();
  }

 private:
  // The current packet's data: in place for memory streams, else copied into
  // the scratch (data lengths never exceed its size).
  const uint8_t* Data() {
    if constexpr (requires(InputStream & s) { s.ReadView(uint32_t{}); }) {
      return m_Deserializer.ReadDataView();
    } else {
      m_Deserializer.ReadData(m_Scratch);
      return m_Scratch;
    }
  }

  TracePacketDeserializer<InputStream> m_Deserializer;
  Client& m_Client;
  uint8_t m_Scratch[TracePacketShared::kMaxDataLength];
};
