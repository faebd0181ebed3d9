#pragma once
// Encodes messages as one Binary packet each and writes every packet into a
// sending stream in a single all-or-nothing write, so a ring never holds part
// of a message. Locking is the stream's: ServerMessageSendingStream takes the
// message lock, ClientMessageSendingStream its per-client mutex.
//
//   ServerMessageSendingStream stream;
//   MessageTransmitter<ServerMessageSendingStream>(stream) << MessageClientRegistration(pid, CodeRegister);

#include <cstdint>

#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/TracePacket.h"
#include "TraceService/Messages.h"

// The encoded packet of one message: header byte 0x0A, the 4-byte length and
// the structure (e.g. 17 bytes for a registration). Encoded in inline storage,
// no heap allocation.
template <class Message>
void EncodeMessage(const Message& message, SmartBufferOutputStream<1024>& out) {
  TracePacketSerializer<SmartBufferOutputStream<1024>> serializer(out);
  serializer << TracePacket<Message>(message);
}

// The stream is borrowed and must outlive the transmitter.
template <class SendingStream>
class MessageTransmitter {
 public:
  explicit MessageTransmitter(SendingStream& stream) : m_Stream(stream) {}

  // Sends one message. Returns false when the ring had no room for it (the
  // message is lost whole); raises on a damaged ring header or lock failure.
  template <class Message>
  bool Send(const Message& message) {
    SmartBufferOutputStream<1024> encoded;
    EncodeMessage(message, encoded);
    return m_Stream.write(encoded.Data(), encoded.GetLength());
  }

  // Sends and ignores the room check, as senders that wait for a confirmation
  // do (a lost message shows as their time-out).
  template <class Message>
  MessageTransmitter& operator<<(const Message& message) {
    Send(message);
    return *this;
  }

 private:
  SendingStream& m_Stream;
};
