#pragma once
// Reads one message packet from a receiving stream and hands it to a handler.
//
// Handler: `void Handle(const MessageHeader*)`, or
// `void Handle(const MessageHeader*, uint32_t length)` to learn how many bytes
// the message really had. The header points into the processor's 1024-byte
// message area, zero-filled behind the message, so reading any header field
// of a short message (a ping has no m_Code) yields 0 rather than stale bytes.
// The pointer is valid only during the call.
//
// What arrives in a ring is input from other processes and is treated so:
// - a packet that is not Binary is consumed without calling the handler;
// - a Binary packet shorter than a ping (8 bytes) is consumed and dropped;
// - a packet the decoder refuses (bad header byte, a length above what any
//   encoder writes, which includes anything longer than the message area, or
//   a packet running past the stored bytes) leaves nothing to frame the
//   following bytes by: everything stored is dropped, so one bad write cannot
//   wedge the ring, and nothing is written past the message area;
// - a failure raised by the handler is caught and logged in diagnostic mode
//   ("Exception happened during message handling").
// A damaged ring header is not input the processor can skip: that failure
// raises to the caller (whose creator-side stream may RecoverIfDamaged()).
//
// Callers call Process only when GetDataLength() is not 0. Not thread-safe;
// one processor per reading thread.

#include <cstdint>
#include <cstring>

#include "Support/Logging.h"
#include "Support/Validation2Exception.h"
#include "TraceData/TracePacket.h"
#include "TraceService/Messages.h"

enum class MessageProcessResult {
  Handled,        // the handler ran and returned
  HandlerFailed,  // the handler raised; the message is consumed
  Skipped,        // not a Binary packet, or too short for a message; consumed
  Malformed,      // undecodable bytes; everything stored was dropped
};

template <class Handler>
class MessageProcessor {
 public:
  static constexpr uint32_t kMessageAreaSize = 1024;
  static constexpr uint32_t kMinimumMessageLength = 8;
  static_assert(TracePacketShared::kMaxDataLength <= kMessageAreaSize);

  explicit MessageProcessor(Handler& handler) : m_Handler(handler) {}

  template <class ReceivingStream>
  MessageProcessResult Process(ReceivingStream& stream) {
    TracePacketDeserializer<ReceivingStream> packet(stream);
    uint32_t length = 0;
    try {
      const auto& attributes = packet.ReadAttributes();
      if (attributes.m_DataType != TracePacketShared::DataType::Binary ||
          attributes.m_DataLength < kMinimumMessageLength) {
        packet.Skip();
        return MessageProcessResult::Skipped;
      }
      std::memset(m_Area, 0, sizeof m_Area);
      length = packet.ReadData(m_Area);
    } catch (const LogicException&) {
      // The decoder's refusals and the ring's header check both arrive as
      // logic errors; SkipAll() raises again when the header is the problem.
      stream.SkipAll();
      KIV_DIAG_NOTHROW("Damaged message dropped with the rest of the message buffer\n");
      return MessageProcessResult::Malformed;
    }
    try {
      // The area holds the message bytes copied from the ring; the header
      // is an implicit-lifetime type, so viewing them as one is sound.
      const auto* header = reinterpret_cast<const MessageHeader*>(m_Area);
      if constexpr (requires { m_Handler.Handle(header, length); }) {
        m_Handler.Handle(header, length);
      } else {
        m_Handler.Handle(header);
      }
      return MessageProcessResult::Handled;
    } catch (...) {
      KIV_DIAG_NOTHROW("Exception happened during message handling\n");
      return MessageProcessResult::HandlerFailed;
    }
  }

 private:
  Handler& m_Handler;
  alignas(MessageHeader) uint8_t m_Area[kMessageAreaSize];
};
