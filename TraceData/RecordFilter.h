#pragma once
// Selection of decoded records by their fields, for the tools that read
// logs (export, follow) and any later reader of log files:
//
//   RecordFilter filter;
//   filter.m_ProcessIds.insert(4242);
//   filter.m_Since = ParseFilterTime("-10min", nowMilliseconds);
//   if (filter.Matches(record)) ...
//
// A record passes when, for every criterion that is set, it matches one of
// its values. A control record concerns the client process its event names:
// with a pid criterion it passes when that pid (or the record's own) is
// selected, whatever the thread, module, label, client and text criteria
// say (it has none of these fields); without one it passes only when none
// of those criteria is set. Time criteria apply to it as to any record.
// Plain value; not thread-safe.

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "TraceData/DecodedRecord.h"

struct RecordFilter {
  std::set<uint32_t> m_ProcessIds;
  std::set<uint32_t> m_ThreadIds;
  std::set<std::string> m_Modules;
  std::set<std::string> m_Labels;
  std::set<std::string> m_Clients;
  // Milliseconds since 1970-01-01 UTC, both ends included. A record without
  // a time stamp fails a time criterion.
  std::optional<uint64_t> m_Since;
  std::optional<uint64_t> m_Until;
  std::string m_Grep;  // substring of the message bytes; empty: any

  bool Matches(const DecodedRecord& record) const;
  // True when no criterion is set.
  bool Empty() const;
};

// Reads a time of -since/-until into milliseconds since 1970-01-01 UTC:
// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.mmm]]" or the same with "T" in the
// middle, in local time unless followed by "Z" or an offset "+HH:MM" /
// "-HH:MM" / "+HHMM"; or relative to `nowMs`: "-<n>" followed by s, sec,
// min, m, h or d (e.g. "-10min", "-2h", "-1d"). Raises std::invalid_argument
// naming the text when it is none of these or names an impossible date.
uint64_t ParseFilterTime(const std::string& text, uint64_t nowMs);

// A decimal process or thread id; raises std::invalid_argument naming the
// text for anything else (signs, blanks, values above 2^32-1).
uint32_t ParseFilterId(const std::string& text);
