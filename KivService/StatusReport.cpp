#include "KivService/StatusReport.h"

#include <cstring>

#include "Support/AutoSync.h"
#include "Support/Validation2Exception.h"

namespace StatusReport {

using Guard = AutoSync<CriticalSectionSyncPolicy>;

Status::Status(Collector& collector, std::string key, std::string description, ValueType type, bool trailing,
               std::string_view initialText)
    : m_Key(std::move(key)), m_Description(std::move(description)), m_Type(type), m_Collector(&collector) {
  Validation2Exception::CheckParameter(type == Number || type == Text, "Unknown status value type");
  if (type == Text)
    SetText(initialText);
  else
    SetNumber(0);
  m_Collector->Register(this, trailing);
}

Status::~Status() {
  try {
    m_Collector->Unregister(this);
  } catch (...) {
  }
}

void Status::SetText(std::string_view text) {
  Validation2Exception::CheckLogic(m_Type == Text, "Status value is not text");
  Validation2Exception::CheckParameter(text.size() < UINT32_MAX, "Status text too long");
  Guard guard(m_Lock);
  m_Value.ExpandSize(static_cast<uint32_t>(text.size()) + 1);
  std::memcpy(m_Value.Data(), text.data(), text.size());
  m_Value.Data()[text.size()] = 0;
}

void Status::SetNumber(uint32_t value) {
  Validation2Exception::CheckLogic(m_Type == Number, "Status value is not a number");
  Guard guard(m_Lock);
  std::memcpy(m_Value.Data(), &value, sizeof value);
}

std::string Status::GetText() const {
  Validation2Exception::CheckLogic(m_Type == Text, "Status value is not text");
  Guard guard(m_Lock);
  return reinterpret_cast<const char*>(m_Value.Data());
}

uint32_t Status::GetNumber() const {
  Validation2Exception::CheckLogic(m_Type == Number, "Status value is not a number");
  Guard guard(m_Lock);
  uint32_t value;
  std::memcpy(&value, m_Value.Data(), sizeof value);
  return value;
}

void Status::ReportTo(std::ostream& out) const {
  Guard guard(m_Lock);
  out << m_Key << '(' << m_Description << "):";
  if (m_Type == Text) {
    for (const uint8_t* c = m_Value.Data(); *c != 0; ++c)
      out.put(*c == '\n' || *c == '\r' ? ' ' : static_cast<char>(*c));
  } else {
    uint32_t value;
    std::memcpy(&value, m_Value.Data(), sizeof value);
    out << static_cast<int32_t>(value);
  }
  out << '\n';
}

void Collector::ReportAllStatus(std::ostream& out) const {
  Guard guard(m_Lock);
  for (const Status* entry : m_Entries) entry->ReportTo(out);
  for (const Status* entry : m_Trailing) entry->ReportTo(out);
}

void Collector::Register(Status* entry, bool trailing) {
  Guard guard(m_Lock);
  (trailing ? m_Trailing : m_Entries).push_back(entry);
}

void Collector::Unregister(Status* entry) {
  Guard guard(m_Lock);
  m_Entries.remove(entry);
  m_Trailing.remove(entry);
}

}  // namespace StatusReport
