#pragma once
// Reading side of a circular buffer (see CircularMemoryBuffer.h). Exactly one
// reader may use a ring at a time.

#include <cstring>

#include "MemoryStream/CircularMemoryBuffer.h"

class CircularMemoryInputStream : public CircularMemoryBuffer {
 public:
  using CircularMemoryBuffer::CircularMemoryBuffer;

  // Number of bytes stored now. Raises on a damaged header.
  uint32_t GetDataLength() const { return Stored(Load(), m_Capacity); }

  // Reads exactly `length` bytes into `destination`. Raises the logic error
  // "Insufficent data to be read" when fewer are stored (nothing is consumed
  // then), and on a damaged header.
  void read(void* destination, size_t length) { Consume(static_cast<uint8_t*>(destination), length); }

  // Consumes `length` bytes without copying them anywhere, with the same
  // checks as read(); lets readers drop data whose length came from input
  // without allocating for it.
  void Skip(size_t length) { Consume(nullptr, length); }

  // Copies `length` bytes like read() but leaves them stored: a reader that
  // may die before it has passed them on frees them (Skip) only after.
  void Peek(void* destination, size_t length) const;

  // Where `length` stored bytes lie, from the read position: `first`, then
  // `second` (from the start of the data area) when they wrap. Same checks
  // as Peek(); consumes nothing. Lets a reader pass them on without a copy.
  struct Pieces {
    const uint8_t* first = nullptr;
    uint32_t firstLength = 0;
    const uint8_t* second = nullptr;
    uint32_t secondLength = 0;
  };
  Pieces Locate(size_t length) const;

  // Drops everything stored now. The reader's way to get back in step after
  // finding bytes that cannot be parsed.
  void SkipAll() { Skip(GetDataLength()); }

 private:
  void Consume(uint8_t* destination, size_t length);
};
