#pragma once
// The entries of the filter tables: a name and two inheriting statuses.
// The trace status decides whether tracing is enabled; the second status is
// reported alongside an enabled answer (the "flag" of GetCombinedData) and is
// enabled unless something sets it.

#include <string>
#include <string_view>

#include "TraceFiltering/MultiLevelStatus.h"

struct FilterStatuses {
  MultiLevelStatus<0> m_TraceStatus;
  MultiLevelStatus<2> m_SecondStatus;

  // Makes both statuses children of the matching statuses of `parent`.
  void AddParent(FilterStatuses& parent) {
    m_TraceStatus.AddParent(parent.m_TraceStatus);
    m_SecondStatus.AddParent(parent.m_SecondStatus);
  }
  void ResetStatus() {
    m_TraceStatus.ResetStatus();
    m_SecondStatus.ResetStatus();
  }
};

// An entry of a primary table: owns its name.
class EntryWithNameStorage : public FilterStatuses {
 public:
  explicit EntryWithNameStorage(std::string_view name) : m_Name(name) {}
  EntryWithNameStorage(const EntryWithNameStorage&) = delete;
  EntryWithNameStorage& operator=(const EntryWithNameStorage&) = delete;
  const std::string& Name() const { return m_Name; }

 private:
  const std::string m_Name;
};

// An entry of a slave table: refers to the name held by the primary entry of
// the same handle, which outlives it (primary entries are never removed).
class EntryWithNameReference : public FilterStatuses {
 public:
  explicit EntryWithNameReference(const std::string& name) : m_Name(&name) {}
  EntryWithNameReference(const EntryWithNameReference&) = delete;
  EntryWithNameReference& operator=(const EntryWithNameReference&) = delete;
  const std::string& Name() const { return *m_Name; }

 private:
  const std::string* m_Name;
};

// What a slave table needs of the table(s) it hangs off: the name and the
// statuses behind a handle. Implemented by both table kinds.
class FilterStatusSource {
 public:
  virtual ~FilterStatusSource() = default;
  virtual bool Contains(int handle) const = 0;
  virtual const std::string& NameOf(int handle) = 0;
  virtual FilterStatuses& StatusesOf(int handle) = 0;
};
