#pragma once
// One circular buffer laid over a memory region (a shared-memory mapping or a
// plain test buffer): a 12-byte header followed by the data area.
//
//   offset 0  m_ReadPosition   uint32 LE  next byte to read
//   offset 4  m_WritePosition  uint32 LE  next byte to write
//   offset 8  m_Capacity       uint32 LE  size of the data area
//   offset 12 data area        m_Capacity bytes
//
// Equal positions mean empty; one byte always stays unused, so at most
// capacity - 1 bytes are stored. The writer only ever moves the write
// position, the reader only the read position, each after copying the bytes;
// with one writer and one reader no lock is needed.
//
// The header of a shared ring is writable by every process that maps it, so
// it is input, not state: every operation reads it once, checks it against
// the capacity this mapping actually holds and works only on that checked
// snapshot. A damaged header raises a LogicException ("Bad logic:Damaged
// circular buffer header") and nothing outside the region is touched.
//
// The object does not own the region; the region must outlive it.

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "ring headers are little-endian");

struct CircularBufferHeader {
  uint32_t m_ReadPosition;
  uint32_t m_WritePosition;
  uint32_t m_Capacity;
};
static_assert(sizeof(CircularBufferHeader) == 12, "ring header layout is fixed");

class CircularMemoryBuffer {
 public:
  static constexpr uint32_t HeaderSize = sizeof(CircularBufferHeader);

  // Region size needed for a ring of `capacity` data bytes.
  static constexpr size_t RegionSizeFor(uint32_t capacity) { return size_t{capacity} + HeaderSize; }

  // `region` must be 4-byte aligned and hold the header plus at least two
  // data bytes; the capacity is regionLength - 12. Raises a parameter error
  // otherwise. Does not touch the header.
  CircularMemoryBuffer(void* region, size_t regionLength);

  // Writes the header of a fresh ring: both positions 0, the capacity of this
  // region. Only the creator of the region calls it; a party that maps an
  // existing ring must not, since that would throw away what the ring holds
  // and race with its reader. The creator may call it again to recover a
  // ring whose header was found damaged.
  void Initialize();

  // The capacity this region holds (not the header's claim).
  uint32_t Capacity() const { return m_Capacity; }

  // True when the header as it is now passes the checks.
  bool IsHeaderValid() const;
  // The checked read position (raises on a damaged header).
  uint32_t ReadPosition() const { return Load().read; }

 protected:
  struct Snapshot {
    uint32_t read;
    uint32_t write;
  };
  // Reads and checks the header once; raises on damage.
  Snapshot Load() const {
    Snapshot s{Field(&CircularBufferHeader::m_ReadPosition).load(std::memory_order_acquire),
               Field(&CircularBufferHeader::m_WritePosition).load(std::memory_order_acquire)};
    uint32_t capacity = Field(&CircularBufferHeader::m_Capacity).load(std::memory_order_relaxed);
    if (capacity != m_Capacity || s.read >= m_Capacity || s.write >= m_Capacity) [[unlikely]]
      RaiseDamaged();
    return s;
  }
  void StoreRead(uint32_t position) {
    Field(&CircularBufferHeader::m_ReadPosition).store(position, std::memory_order_release);
  }
  void StoreWrite(uint32_t position) {
    Field(&CircularBufferHeader::m_WritePosition).store(position, std::memory_order_release);
  }
  static uint32_t Stored(Snapshot s, uint32_t capacity) {
    return s.write >= s.read ? s.write - s.read : s.write + capacity - s.read;
  }
  static uint32_t FreeRoom(Snapshot s, uint32_t capacity) {
    return s.write < s.read ? s.read - s.write - 1 : capacity - s.write + s.read - 1;
  }
  [[noreturn]] static void RaiseDamaged();

  uint8_t* m_Data;
  uint32_t m_Capacity;

 private:
  // The header words are accessed atomically: the other side of the ring
  // runs in another thread or process at the same time.
  std::atomic_ref<uint32_t> Field(uint32_t CircularBufferHeader::*field) const {
    return std::atomic_ref<uint32_t>(m_Header->*field);
  }

  CircularBufferHeader* m_Header;
};
