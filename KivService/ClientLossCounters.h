#pragma once
// The count of trace records a client process dropped (its ring was full or
// damaged, or no dispatcher was there), beside its trace ring in the map file
// "KivTraceLoss" + pid, so that the dispatcher can tell the loss in the log
// at the place where it happened. The ring's format is not touched; a client
// without this file is still served, its drops are only not told.
//
//   offset 0  magic      uint32 LE  kMagic, written by the client once
//   offset 4  wake       uint32 LE  dispatcher: kDrainerSleeping while it waits
//                                   for the ring's first record, kDrainerPolling
//                                   while it waits briefly for more (it wakes
//                                   by itself then, unless the ring passes half
//                                   full first); anything else: it is awake. A
//                                   client that finds its record the first in
//                                   the ring, or the one that took it past
//                                   half full, and the matching state here,
//                                   sets it to kDrainerAwake and wakes the
//                                   word (futex, shared). Older clients never
//                                   touch it and older dispatchers never set
//                                   it: they poll as before.
//   offset 8  dropped    uint64 LE  client: records dropped in this registration
//   offset 16 told       uint64 LE  dispatcher: how many of them it has told
//   offset 24 gapAfter   uint64 LE  client: 1 + the sequence number of the last
//                                   record written before the first drop not yet
//                                   told; 0: before every record in the ring
//
// Where the dispatcher stands in the ring, so that a client whose dispatcher
// died carries over exactly the records that are not in the log (ring
// positions stored + 1; 0: none yet):
//   offset 32 drainedTo  uint64 LE  dispatcher: the bytes before it are in the
//                                   log (or told lost); stored before it frees them
//   offset 40 writingTo  uint64 LE  dispatcher: the bytes before it are being
//                                   written; stored before the write
//   offset 48 device     uint64 LE  dispatcher: the log file that write goes to
//   offset 56 inode      uint64 LE    (0: not known to be a file), and its size
//   offset 64 fileEnd    uint64 LE    once the bytes are all in it
// and what a client carrying a ring over could not decide (it cannot see the
// log): the first `doubt` bytes it carried went to that file as the old
// dispatcher died; the new dispatcher writes them only if the file is short.
//   offset 72 doubt        uint64 LE  client, before it carries the records
//   offset 80 doubtDevice  uint64 LE
//   offset 88 doubtInode   uint64 LE
//   offset 96 doubtEnd     uint64 LE
// A "records lost" record is written the same way: the dispatcher stores the
// dropped count it tells (and the file) before, and told after the write;
//   offset 104 telling    uint64 LE  dispatcher
//   offset 112 doubtTold  uint64 LE  client: of the drops it carried over, how
//                                    many the old dispatcher was telling in the
//                                    doubt file; the new one takes them as told
//                                    if the file is long enough (and clears it)
// And what a ring that turns out damaged held:
//   offset 120 written    uint64 LE  client, under its ring lock: records put
//                                    into this ring (carried ones included);
//                                    less those the dispatcher took, lost
// And where the last record put ends, so that the dispatcher need not walk
// the records it takes to count them:
//   offset 128 published  uint64 LE  client, under its ring lock, after the
//                                    ring's write position: the ring's write
//                                    position after its last record (low 32
//                                    bits) and `written` then (high 32 bits)
// A file of the first kFirstFileSize bytes (an older client) has the
// counters only; one of kPositionsFileSize bytes no published word.
//
// The client changes dropped and gapAfter only under its ring lock; the
// dispatcher changes told only. Every field is accessed atomically. The
// region is writable by the client, so the dispatcher takes it as input: a
// count below what it told, or a magic that does not match, tells nothing;
// a doubt that is not a prefix of whole carried records is ignored; a forged
// wake word costs a wake-up too many or one wait of the poll period, since
// the dispatcher looks at the ring itself before and after every wait; a
// published word whose end is not within what the ring holds, or whose count
// cannot fit, is not believed, and one that fits but lies only cuts this
// client's own block where it says and miscounts this client's records.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "Support/MappedAccess.h"
#include "Support/SharedFutex.h"

struct ClientLossCounters {
  static constexpr uint32_t kMagic = 0x4B4C4F53;
  static constexpr uint32_t kFileSize = 136;
  static constexpr uint32_t kPositionsFileSize = 128;
  static constexpr uint32_t kFirstFileSize = 32;
  // The wake word's states (0 is what a fresh file and an older dispatcher leave).
  static constexpr uint32_t kDrainerAwake = 0;
  static constexpr uint32_t kDrainerSleeping = 0x534C4550;
  static constexpr uint32_t kDrainerPolling = 0x504F4C4C;

  uint32_t m_Magic;
  uint32_t m_DrainerWake;
  uint64_t m_Dropped;
  uint64_t m_Told;
  uint64_t m_GapAfter;
  uint64_t m_DrainedTo;
  uint64_t m_WritingTo;
  uint64_t m_Device;
  uint64_t m_Inode;
  uint64_t m_FileEnd;
  uint64_t m_Doubt;
  uint64_t m_DoubtDevice;
  uint64_t m_DoubtInode;
  uint64_t m_DoubtEnd;
  uint64_t m_Telling;
  uint64_t m_DoubtTold;
  uint64_t m_Written;
  uint64_t m_Published;

  static std::string Name(uint32_t pid) { return "KivTraceLoss" + std::to_string(pid); }

  template <class T>
  static std::atomic_ref<T> Field(T& field) {
    return std::atomic_ref<T>(field);
  }

  // The published word for a ring whose write position is `end` after the
  // `written`th record.
  static uint64_t Published(uint64_t written, uint32_t end) { return written << 32 | end; }

  // Client, under its ring lock: one more record dropped; `gapAfter` as above.
  void NoteDropped(uint64_t records, uint64_t gapAfter) {
    const uint64_t dropped = Field(m_Dropped).load(std::memory_order_relaxed);
    if (dropped == Field(m_Told).load(std::memory_order_acquire))
      Field(m_GapAfter).store(gapAfter, std::memory_order_relaxed);
    Field(m_Dropped).store(dropped + records, std::memory_order_release);
  }

  // Client, after putting a record into the ring and leaving the ring lock:
  // `first` when the ring held nothing before it, `half` when it took the
  // ring past half full. Wakes the dispatcher when it waits for that; costs
  // nothing otherwise. A counters file cut short only loses the wake-up.
  void WakeDrainer(bool first, bool half) noexcept {
    if (!first && !half) return;
    // The record's position was stored before; the dispatcher stores its
    // state before it looks at the ring: one of the two sees the other.
    SharedFutex::StoreLoadBarrier();
    bool wake = false;
    MappedAccess::Run([&] {
      auto word = Field(m_DrainerWake);
      uint32_t state = word.load(std::memory_order_relaxed);
      if ((state == kDrainerSleeping && (first || half)) || (state == kDrainerPolling && half))
        wake = word.compare_exchange_strong(state, kDrainerAwake, std::memory_order_relaxed);
    });
    if (wake) SharedFutex::Wake(&m_DrainerWake);
  }

  // Where the record whose header packet starts `at` bytes into `records`
  // ends: a 15-byte header packet, body length at offset 11, then the body.
  // The caller has checked that the header packet lies within the bytes.
  static uint64_t RecordEnd(const uint8_t* records, uint64_t at) {
    uint32_t body;
    std::memcpy(&body, records + at + 11, sizeof body);
    return at + 15 + uint64_t{body};
  }
  // Walks the records from the start of `records` (`length` bytes of whole
  // records) until `at` bytes or the end; returns where it stopped and
  // counts the records passed into `count`.
  static uint64_t WalkRecords(const uint8_t* records, uint32_t length, uint64_t at,
                              uint64_t* count = nullptr) {
    uint64_t next = 0;
    for (; next < at && next + 15 <= length; count ? ++*count : 0) next = RecordEnd(records, next);
    return next;
  }
  // Whether the records end exactly `at` bytes in.
  static bool IsRecordBoundary(const uint8_t* records, uint32_t length, uint64_t at) {
    return at <= length && WalkRecords(records, length, at) == at;
  }
  // The end of the last record that lies whole within the first `length`
  // bytes (0 when the first one does not), and in `count` how many records
  // lie before it.
  static uint32_t WholeRecordsEnd(const uint8_t* records, uint32_t length, uint64_t& count) {
    uint64_t end = 0;
    count = 0;
    for (uint64_t next = 0; next + 15 <= length; ++count) {
      next = RecordEnd(records, next);
      if (next > length) break;
      end = next;
    }
    return static_cast<uint32_t>(end);
  }
  // The whole records there.
  static uint64_t CountRecords(const uint8_t* records, uint32_t length) {
    uint64_t count = 0;
    WalkRecords(records, length, length, &count);
    return count;
  }
};
static_assert(sizeof(ClientLossCounters) == ClientLossCounters::kFileSize);
