#pragma once
// Primary tables (names known to the process, handle = index) and slave
// tables (per-module and per-client settings created on demand for a handle of
// a primary table). Not thread-safe: TraceFilterRules guards them.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Support/Validation2Exception.h"
#include "TraceFiltering/FilterEntries.h"

// Owned entries addressed by index. Entries are never removed, so a handle,
// and the address of its entry and name, stay valid for the table's life.
template <class Entry>
class PrimaryTable : public FilterStatusSource {
 public:
  using Factory = std::function<std::unique_ptr<Entry>(std::string_view name)>;

  explicit PrimaryTable(Factory make = [](std::string_view name) { return std::make_unique<Entry>(name); })
      : m_Make(std::move(make)) {}

  // The handle of the entry named exactly `name` (case-sensitive), appending
  // a new unset entry when there is none.
  int GetKey(std::string_view name) {
    if (auto found = m_Index.find(name); found != m_Index.end()) return found->second;
    try {
      m_Entries.push_back(m_Make(name));
      m_Index.emplace(m_Entries.back()->Name(), static_cast<int>(m_Entries.size() - 1));
    } catch (const std::bad_alloc&) {
      if (m_Entries.size() > m_Index.size()) m_Entries.pop_back();
      Validation2Exception::CheckMemoryAllocation(false, "Can not allocate memory for new entry");
    }
    return static_cast<int>(m_Entries.size() - 1);
  }

  bool Contains(int handle) const override {
    return handle >= 0 && static_cast<size_t>(handle) < m_Entries.size();
  }
  // Callers check Contains first.
  Entry& operator[](int handle) { return *m_Entries[static_cast<size_t>(handle)]; }
  const std::string& NameOf(int handle) override { return (*this)[handle].Name(); }
  FilterStatuses& StatusesOf(int handle) override { return (*this)[handle]; }
  size_t Size() const { return m_Entries.size(); }

  template <class Fn>
  void ForEach(Fn&& fn) {
    for (auto& entry : m_Entries) fn(*entry);
  }

 private:
  Factory m_Make;
  std::vector<std::unique_ptr<Entry>> m_Entries;
  std::unordered_map<std::string_view, int> m_Index;  // views into the entries' names
};

// Entries created on first use for handles of `names`. Each new entry's
// statuses become children of the same handle's statuses in every parent
// source, in the order given.
template <class Entry>
class SlaveTable : public FilterStatusSource {
 public:
  using Factory = std::function<std::unique_ptr<Entry>(int handle, const std::string& name)>;

  SlaveTable(
      FilterStatusSource& names, std::vector<FilterStatusSource*> parents,
      Factory make = [](int, const std::string& name) { return std::make_unique<Entry>(name); })
      : m_Names(names), m_Parents(std::move(parents)), m_Make(std::move(make)) {}

  // The entry for a handle of the name source; callers check Contains first.
  Entry& operator[](int handle) {
    if (auto found = m_Entries.find(handle); found != m_Entries.end()) return *found->second;
    std::unique_ptr<Entry> entry;
    try {
      entry = m_Make(handle, m_Names.NameOf(handle));
      for (auto* parent : m_Parents) entry->AddParent(parent->StatusesOf(handle));
      return *m_Entries.emplace(handle, std::move(entry)).first->second;
    } catch (const std::bad_alloc&) {
      Validation2Exception::CheckMemoryAllocation(false, "Can not allocate new entry");
      throw;  // not reached
    }
  }

  bool Contains(int handle) const override { return m_Names.Contains(handle); }
  const std::string& NameOf(int handle) override { return m_Names.NameOf(handle); }
  FilterStatuses& StatusesOf(int handle) override { return (*this)[handle]; }

  template <class Fn>
  void ForEach(Fn&& fn) {
    for (auto& [handle, entry] : m_Entries) fn(*entry);
  }

 private:
  FilterStatusSource& m_Names;
  std::vector<FilterStatusSource*> m_Parents;
  Factory m_Make;
  std::map<int, std::unique_ptr<Entry>> m_Entries;
};

using PrimaryLabels = PrimaryTable<EntryWithNameStorage>;
// Labels of one module (MLabel) or one global client (GClientLabel); parent:
// the global label (GLabel).
using SlaveLabels = SlaveTable<EntryWithNameReference>;
// Labels of one client inside one module (MClientLabel); parents: the
// module's label, then the global client's label.
using SubSlaveLabels = SlaveTable<EntryWithNameReference>;

// A global client (GClient) and its GClientLabel settings.
class PrimaryClientEntry : public EntryWithNameStorage {
 public:
  PrimaryClientEntry(std::string_view name, PrimaryLabels& labels)
      : EntryWithNameStorage(name), m_Labels(labels, {&labels}) {}
  SlaveLabels& Labels() { return m_Labels; }

 private:
  SlaveLabels m_Labels;
};
using PrimaryClients = PrimaryTable<PrimaryClientEntry>;

// A client inside a module (MClient) and its MClientLabel settings.
class SlaveClientEntry : public EntryWithNameReference {
 public:
  SlaveClientEntry(const std::string& name, PrimaryLabels& labels, SlaveLabels& moduleLabels,
                   SlaveLabels& globalClientLabels)
      : EntryWithNameReference(name), m_Labels(labels, {&moduleLabels, &globalClientLabels}) {}
  SubSlaveLabels& Labels() { return m_Labels; }

 private:
  SubSlaveLabels m_Labels;
};
using SlaveClients = SlaveTable<SlaveClientEntry>;

// A module (Module), its MLabel and MClient settings, and the client numbers
// registered with it. The label table is declared before the client table
// because the clients' label entries hang off it.
class PrimaryModuleEntry : public EntryWithNameStorage {
 public:
  PrimaryModuleEntry(std::string_view name, PrimaryLabels& labels, PrimaryClients& clients)
      : EntryWithNameStorage(name),
        m_Labels(labels, {&labels}),
        m_Clients(clients, {&clients}, [this, &labels, &clients](int handle, const std::string& clientName) {
          return std::make_unique<SlaveClientEntry>(clientName, labels, m_Labels, clients[handle].Labels());
        }) {}

  SlaveLabels& Labels() { return m_Labels; }
  SlaveClients& Clients() { return m_Clients; }

  // Client number -> global client handle; an existing mapping is kept.
  void RegisterClientNumber(uint32_t number, int clientHandle) {
    m_ClientNumbers.emplace(number, clientHandle);
  }
  // The global client handle for a number, or -1 when it was never registered.
  int ClientHandleOf(uint32_t number) const {
    auto found = m_ClientNumbers.find(number);
    return found == m_ClientNumbers.end() ? -1 : found->second;
  }

 private:
  SlaveLabels m_Labels;
  SlaveClients m_Clients;
  std::unordered_map<uint32_t, int> m_ClientNumbers;
};
using PrimaryModules = PrimaryTable<PrimaryModuleEntry>;
