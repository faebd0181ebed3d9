#pragma once
// Re-ordering window: holds up to Window records and hands them to the
// helper smallest sequence number first (unsigned 32-bit comparison; records
// with equal numbers keep the order they arrived in).
//
// `Record` offers GetSequenceNumber(); `Helper` offers Process(const Record&)
// and must not raise (a failing record is the helper's to drop). The helper
// is borrowed and must outlive the re-orderer. Not thread-safe.

#include <algorithm>
#include <cstdint>
#include <vector>

template <class Record, class Helper, uint32_t Window>
class ReOrderer {
  static_assert(Window > 0);

 public:
  explicit ReOrderer(Helper& helper) : m_Helper(helper) {}
  ReOrderer(const ReOrderer&) = delete;
  ReOrderer& operator=(const ReOrderer&) = delete;
  // Delivers whatever is still queued.
  ~ReOrderer() { Flush(); }

  // Queues `record`; when the window is already full the smallest queued
  // record is delivered first.
  void Push(const Record& record) {
    if (m_Heap.size() >= Window) ProcessFront();
    m_Heap.push_back(Entry{record, m_Arrival++});
    std::push_heap(m_Heap.begin(), m_Heap.end(), Later);
  }

  // Delivers and removes the record with the smallest sequence number.
  void ProcessFront() {
    if (m_Heap.empty()) return;
    std::pop_heap(m_Heap.begin(), m_Heap.end(), Later);
    const Entry entry = m_Heap.back();
    m_Heap.pop_back();
    m_Helper.Process(entry.m_Record);
  }

  // Delivers every queued record in order; the window starts afresh.
  void Flush() {
    while (!m_Heap.empty()) ProcessFront();
    m_Arrival = 0;
  }

  size_t Size() const { return m_Heap.size(); }

 private:
  struct Entry {
    Record m_Record;
    uint64_t m_Arrival;
  };
  // Heap order for a min-heap: a comes out after b.
  static bool Later(const Entry& a, const Entry& b) {
    const uint32_t sa = a.m_Record.GetSequenceNumber();
    const uint32_t sb = b.m_Record.GetSequenceNumber();
    return sa != sb ? sa > sb : a.m_Arrival > b.m_Arrival;
  }

  Helper& m_Helper;
  std::vector<Entry> m_Heap;
  uint64_t m_Arrival = 0;
};
