#pragma once
// The host-wide record sequence counter: one 32-bit unsigned word in the
// shared region "KivRecordSequenceNumberSeed" ({temp}KivRecordSequenceNumberSeed.map).
// The dispatcher's server manager creates it (set to 0) and removes it;
// every client process maps the same word. A number is taken with an atomic
// fetch-and-add of 1 on the shared word (the value before the increment), so
// numbers are unique and increasing across all processes, whatever number of
// threads and processes take them at once; readers order records by them.
//
// Any group member can truncate the file while it is mapped: every access is
// guarded (MappedAccess.h), and after a fault numbers continue from the last
// one this process took (the creator also restores the file's length).
//
// The object owns its mapping. Next() may be called from any thread.

#include <atomic>
#include <cstdint>

#include "Support/SharedMemory.h"

class KivRecordSequenceGenerator {
 public:
  static constexpr const char* kRegionName = "KivRecordSequenceNumberSeed";
  static constexpr uint32_t kRegionSize = sizeof(uint32_t);

  enum Mode { Create, Open };

  // Create: makes (truncating an existing one) the region with the counter
  // at 0; the file is removed on destruction. Open: maps the existing region;
  // raises when it is missing ("Can not open file ...") or shorter than the
  // counter ("Bad logic:Record sequence counter too small").
  explicit KivRecordSequenceGenerator(Mode mode);
  virtual ~KivRecordSequenceGenerator() = default;
  KivRecordSequenceGenerator(const KivRecordSequenceGenerator&) = delete;
  KivRecordSequenceGenerator& operator=(const KivRecordSequenceGenerator&) = delete;

  // Takes the next number.
  uint32_t Next();
  // The same for a caller already running a guarded step (MappedAccess)
  // that ends on a fault here: NextInStep() takes the number unguarded; when
  // a fault ended the step inside it, AfterFault() gives the number to use
  // instead. One guard per record on the trace call's path.
  uint32_t NextInStep();
  uint32_t AfterFault();
  // The number the next call of Next() would return now (for status and tests).
  uint32_t Peek() const;
  // Creator only, called periodically: a truncated file gets its length back
  // and the counter goes on after the last number taken here.
  void Repair();

 private:
  // After a fault on the shared word: the next number to hand out.
  uint32_t Recover();

  SharedMemory m_Memory;
  std::atomic<uint32_t> m_Last{0};  // the last number this process took
  std::atomic<bool> m_Lost{false};  // a fault was met; the file is checked first
  uint32_t* m_Counter;              // in m_Memory, page-aligned; accessed only atomically
};
