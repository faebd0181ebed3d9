#pragma once
// The fixed structures carried inside trace packets, laid out byte for byte
// as they travel in rings, files and TCP streams: little-endian fixed-width
// fields, no padding.

#include <cstdint>

namespace TracePacketShared {

// Packet identifiers of record fields, record headers and block headers.
enum PacketId : uint16_t {
  MessageText = 0,
  Timestamp = 2,
  ThreadId = 3,
  ProcessId = 4,
  HostName = 5,
  ControlMessage = 6,
  RecordHeader = 10,
  BlockHeader = 11,
  ModuleName = 32,
  LabelName = 33,
  ClientName = 34,
};

// Events reported in a ControlMessage packet; other values are unknown.
enum ControlCode : uint32_t {
  ClientAttached = 1,
  ClientDetached = 2,
  TracingPaused = 3,
  TracingResumed = 4,
  ConfigurationReloaded = 5,
  PreservationOn = 6,
  PreservationOff = 7,
  // Records of the process were lost before the next record; the count
  // travels as the record's MessageText (see ControlEvents.h).
  RecordsLost = 8,
};

}  // namespace TracePacketShared

// Time of a record (the `Timestamp` field): seconds since 1970-01-01 UTC,
// milliseconds, the writer's time-zone minutes west of UTC and its
// daylight-saving flag (informational; readers render in their own local
// time), and 2 bytes of padding written as 0.
struct TraceTimestamp {
  uint32_t m_Seconds = 0;
  uint16_t m_Milliseconds = 0;
  int16_t m_TimeZone = 0;
  int16_t m_DstFlag = 0;
  uint16_t m_Padding = 0;

  // The current wall-clock time (CLOCK_REALTIME, to within 0.2 ms; see the
  // definition), with the local time-zone offset and daylight-saving flag.
  static TraceTimestamp Now();
};
static_assert(sizeof(TraceTimestamp) == 12);

// Data of the record header packet (identifier 10): sequence number and the
// length of the record body that follows the packet.
struct TraceRecordHeader {
  uint32_t m_SequenceNumber = 0;
  uint32_t m_BodyLength = 0;
};
static_assert(sizeof(TraceRecordHeader) == 8);

// Data of the ControlMessage packet (identifier 6).
struct ControlMessagePacketHeader {
  uint32_t m_Code = 0;
  uint32_t m_ProcessId = 0;
};
static_assert(sizeof(ControlMessagePacketHeader) == 8);

// Data of the block header packet (identifier 11): producing host, producing
// process and the length of the block body that follows the packet.
struct TraceBlockHeader {
  static constexpr uint32_t kHostNameSize = 32;

  TraceBlockHeader() = default;
  // Fills the host name with the local host name (at most 31 characters,
  // empty when it cannot be obtained) and the process identifier with
  // `processId`, or with the calling process's own when `processId` is 0.
  TraceBlockHeader(uint32_t bodyLength, uint32_t processId);

  char m_HostName[kHostNameSize] = {};
  uint32_t m_ProcessId = 0;
  uint32_t m_BodyLength = 0;
};
static_assert(sizeof(TraceBlockHeader) == 40);
