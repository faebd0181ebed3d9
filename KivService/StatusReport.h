#pragma once
// Named status values of the dispatcher, reported together to a status file.
//
// A Status entry registers itself with one Collector when made and removes
// itself when destroyed; the collector does not own its entries, and every
// entry must be destroyed before its collector.
//
// Locks: the collector's lock guards its entry list; each entry's lock guards
// its value. A report takes the collector's lock and then each entry's lock;
// owners take only their own entry's lock (SetText/SetNumber). Lock order:
// collector, then entry.

#include <cstdint>
#include <list>
#include <ostream>
#include <string>
#include <string_view>

#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/SmartBuffer.h"

namespace StatusReport {

class Collector;

enum ValueType : int32_t {
  Number = 0,  // a 32-bit value, reported as a signed decimal
  Text = 1,
};

class Status {
 public:
  // Text entries start as `initialText` ("unknown" unless given), number
  // entries as 0: a report written while the owner is still being built
  // shows that value. The type never changes; any other type value is
  // refused.
  // A trailing entry is reported after every other entry, whenever either
  // was registered (totals added after the standard entries stay there when
  // the standard ones are registered anew).
  Status(Collector& collector, std::string key, std::string description, ValueType type,
         bool trailing = false, std::string_view initialText = "unknown");
  virtual ~Status();  // unregisters; never raises
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  // Replace the value under the entry's lock. Setting the other type's value
  // is a logic error.
  void SetText(std::string_view text);
  void SetNumber(uint32_t value);

  std::string GetText() const;
  uint32_t GetNumber() const;
  const std::string& Key() const { return m_Key; }
  ValueType Type() const { return m_Type; }

  // Writes "key(description):value" and a line feed under the entry's lock.
  // A text value stops at its first zero byte; line breaks in it are written
  // as blanks so that every entry stays on one line.
  void ReportTo(std::ostream& out) const;

 private:
  mutable CriticalSectionSyncPolicy m_Lock;
  const std::string m_Key;          // path-like, backslash separated
  const std::string m_Description;  // one line of text
  const ValueType m_Type;
  SmartBuffer<32> m_Value GUARDED_BY(m_Lock);  // text plus zero, or 4 bytes
  Collector* m_Collector;
};

class Collector {
 public:
  Collector() = default;
  virtual ~Collector() = default;
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // Every entry's line, in registration order, under the collector's lock.
  void ReportAllStatus(std::ostream& out) const;

 private:
  friend class Status;
  void Register(Status* entry, bool trailing);
  void Unregister(Status* entry);

  mutable CriticalSectionSyncPolicy m_Lock;
  std::list<Status*> m_Entries GUARDED_BY(m_Lock);   // not owned
  std::list<Status*> m_Trailing GUARDED_BY(m_Lock);  // reported after m_Entries
};

}  // namespace StatusReport
