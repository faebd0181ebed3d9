#pragma once
// One record read from a block body: sequence number and body.
//
// The body is not copied: it refers to the bytes inside the block buffer,
// which the block reader keeps alive until every record of the block has
// been delivered. Records are small values and are moved around freely by
// the re-orderer.

#include <cstdint>

#include "MemoryStream/MemoryInputStream.h"
#include "TraceData/TracePacketReader.h"

class TraceRecordReader {
 public:
  // Reads the record header packet and the body from `block`, then checks
  // that the body is a clean run of packets. Raises (consuming an unknown
  // part of `block`) with
  //  "Incorrect data length for specified data type." for a header packet
  //   that is not an 8-byte Binary packet,
  //  "Insufficent data to read" for a body longer than the rest of the block
  //   or a packet crossing the end of the body,
  //  "Invalid trace packet header" for a header byte failing
  //   VerifyIntegrity inside the body (it would otherwise be walked past and
  //   the rest of the body read out of step).
  void Process(MemoryInputStream& block) {
    Frame(block);
    Check();
  }
  // Process() in two steps: Frame() reads the record header packet and
  // takes the body in place (the first two errors above); Check() walks
  // the body's packets (the rest). Decoding a body that fails Check() fails
  // at the same packet, so a reader may decode first and check only a
  // record whose decoding failed.
  void Frame(MemoryInputStream& block);
  void Check() const;

  // Delivers every packet of the body to `client` (see TracePacketReader for
  // the callbacks); does not call OnRecordBegin or OnRecordEnd. The views
  // it passes lie in the body itself, so they stay valid as long as the
  // block buffer does, not only during the call.
  template <class Client>
  void Deserialize(Client& client) const {
    MemoryInputStream body(m_Body, m_BodyLength);
    TracePacketReader<MemoryInputStream, Client> reader(body, client);
    while (body.GetDataLength() > 0) reader.Process();
  }

  uint32_t GetSequenceNumber() const { return m_SequenceNumber; }
  uint32_t GetBodyLength() const { return m_BodyLength; }
  const uint8_t* GetBody() const { return m_Body; }

 private:
  uint32_t m_SequenceNumber = 0;
  uint32_t m_BodyLength = 0;
  const uint8_t* m_Body = nullptr;
};
