#pragma once
// A filter status that inherits from up to three parents.
//
// The flags byte holds four 2-bit codes: bits 0-1 are this status's own
// setting, and the i-th parent's whole flags byte is ORed in shifted left by
// 2 * (i + 1) bits (what falls off the byte is lost). In each code bit 1 means
// "explicitly set" and bit 0 "differs from Default": 3 = set to the other
// value, 2 = set to Default, 0 = not set. Resolution takes the first set code
// from the low bits upward, so the own setting beats the first parent's, which
// beats those further up; where two parents land on the same position their
// codes are ORed and a non-default setting wins.
//
// Parents and children are plain pointers, not owned. A status unlinks itself
// from both on destruction, so statuses of one tree may die in any order.
// Not thread-safe: TraceFilterRules guards every status with its mutex.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Support/Validation2Exception.h"
#include "TraceFiltering/FilterStatus.h"

template <int Default>
class MultiLevelStatus {
  static_assert(Default == 0 || Default == 2, "a status defaults to disabled (0) or enabled (2)");

 public:
  static constexpr int kMaxParents = 3;

  MultiLevelStatus() = default;
  // Only happens when the tables go away, so the survivors are not
  // re-resolved.
  ~MultiLevelStatus() {
    for (auto* parent : m_Parents) std::erase(parent->m_Children, this);
    for (auto* child : m_Children) std::erase(child->m_Parents, this);
  }
  MultiLevelStatus(const MultiLevelStatus&) = delete;
  MultiLevelStatus& operator=(const MultiLevelStatus&) = delete;

  // s == Default sets the own code to 2, the other of 0/2 sets 3, NotSet
  // clears it; the change then propagates to every descendant.
  void SetStatus(Status s) {
    if (static_cast<int>(s) == Default)
      m_Own = kSetDefault;
    else if (s == Status::Disabled || s == Status::Enabled)
      m_Own = kSetOther;
    else
      m_Own = kNotSet;
    ApplyParentStatus();
  }

  // Rebuilds the flags from the own code and the parents' flags, resolves,
  // then does the same for every child (depth is bounded by the tables: 3).
  void ApplyParentStatus() {
    unsigned flags = m_Own;
    for (size_t i = 0; i < m_Parents.size(); ++i) flags |= unsigned{m_Parents[i]->m_Flags} << (2 * (i + 1));
    m_Flags = static_cast<uint8_t>(flags);
    m_Resolved = GetStatusSlow();
    for (auto* child : m_Children) child->ApplyParentStatus();
  }

  // The resolved status as last computed: Disabled or Enabled.
  Status GetStatus() const { return m_Resolved; }

  Status GetStatusSlow() const {
    for (int shift = 0; shift < 8; shift += 2) {
      unsigned code = (m_Flags >> shift) & 3u;
      if (code == kSetDefault) return kDefault;
      if (code == kSetOther) return kOther;
    }
    return kDefault;
  }

  // With a parent: back to "not set", inheriting. Without: explicitly the
  // default, so that it counts at its position in the children's flags.
  void ResetStatus() { SetStatus(m_Parents.empty() ? kDefault : Status::NotSet); }

  // Appends `parent` as the next parent (at most kMaxParents) and recomputes.
  void AddParent(MultiLevelStatus& parent) {
    Validation2Exception::CheckLogic(m_Parents.size() < kMaxParents, "A status has at most three parents");
    m_Parents.push_back(&parent);
    parent.m_Children.push_back(this);
    ApplyParentStatus();
  }

  // Detaches `child` from this status; its later parents move up one place.
  void RemoveChild(MultiLevelStatus& child) {
    std::erase(m_Children, &child);
    std::erase(child.m_Parents, this);
    child.ApplyParentStatus();
  }

  uint8_t Flags() const { return m_Flags; }
  const std::vector<MultiLevelStatus*>& Parents() const { return m_Parents; }
  const std::vector<MultiLevelStatus*>& Children() const { return m_Children; }

 private:
  static constexpr uint8_t kNotSet = 0, kSetDefault = 2, kSetOther = 3;
  static constexpr Status kDefault = static_cast<Status>(Default);
  static constexpr Status kOther = Default == 0 ? Status::Enabled : Status::Disabled;

  uint8_t m_Own = kNotSet;
  uint8_t m_Flags = kNotSet;
  Status m_Resolved = kDefault;
  std::vector<MultiLevelStatus*> m_Parents;
  std::vector<MultiLevelStatus*> m_Children;
};
