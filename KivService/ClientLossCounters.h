#pragma once
// The count of trace records a client process dropped (its ring was full or
// damaged, or no dispatcher was there), beside its trace ring in the map file
// "KivTraceLoss" + pid, so that the dispatcher can tell the loss in the log
// at the place where it happened. The ring's format is not touched; a client
// without this file is still served, its drops are only not told.
//
//   offset 0  magic      uint32 LE  kMagic, written by the client once
//   offset 8  dropped    uint64 LE  client: records dropped in this registration
//   offset 16 told       uint64 LE  dispatcher: how many of them it has told
//   offset 24 gapAfter   uint64 LE  client: 1 + the sequence number of the last
//                                   record written before the first drop not yet
//                                   told; 0: before every record in the ring
//
// The client changes dropped and gapAfter only under its ring lock; the
// dispatcher changes told only. Every field is accessed atomically. The
// region is writable by the client, so the dispatcher takes it as input: a
// count below what it told, or a magic that does not match, tells nothing.

#include <atomic>
#include <cstdint>
#include <string>

struct ClientLossCounters {
  static constexpr uint32_t kMagic = 0x4B4C4F53;
  static constexpr uint32_t kFileSize = 32;

  uint32_t m_Magic;
  uint32_t m_Reserved;
  uint64_t m_Dropped;
  uint64_t m_Told;
  uint64_t m_GapAfter;

  static std::string Name(uint32_t pid) { return "KivTraceLoss" + std::to_string(pid); }

  template <class T>
  static std::atomic_ref<T> Field(T& field) {
    return std::atomic_ref<T>(field);
  }

  // Client, under its ring lock: one more record dropped; `gapAfter` as above.
  void NoteDropped(uint64_t records, uint64_t gapAfter) {
    const uint64_t dropped = Field(m_Dropped).load(std::memory_order_relaxed);
    if (dropped == Field(m_Told).load(std::memory_order_acquire))
      Field(m_GapAfter).store(gapAfter, std::memory_order_relaxed);
    Field(m_Dropped).store(dropped + records, std::memory_order_release);
  }
};
static_assert(sizeof(ClientLossCounters) == ClientLossCounters::kFileSize);
