#include "KivANSIAPI/TraceRecordWriter.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<uint64_t> s_Written{0};
std::atomic<uint64_t> s_Dropped{0};
thread_local uint32_t t_ThreadId = 0;

// A forked child starts with the forking thread only, under a new kernel id,
// and owes nothing of its parent's counts.
void ResetInChild() {
  t_ThreadId = 0;
  s_Written.store(0, std::memory_order_relaxed);
  s_Dropped.store(0, std::memory_order_relaxed);
}

// Static initialisation registers the handler before main, so it is in
// place before any thread could cache an id.
const bool s_ForkHandlerRegistered = pthread_atfork(nullptr, nullptr, ResetInChild) == 0;

}  // namespace

namespace TraceRecordWriting {

void Build(Image& image, std::string_view module, std::string_view label, const std::string_view* client,
           std::string_view text) noexcept {
  TraceRecordFields fields;
  fields.m_Timestamp = TraceTimestamp::Now();
  fields.m_ThreadId = CurrentThreadId();
  fields.m_ModuleName = module;
  fields.m_LabelName = label;
  fields.m_HasClientName = client != nullptr;
  if (client) fields.m_ClientName = *client;
  fields.m_MessageText = text;
  // Never 0: the image holds the longest record there is.
  image.m_Size = TraceRecordBuilder::BuildRecord(fields, image.m_Bytes, sizeof image.m_Bytes);
}

Statistics GetStatistics() noexcept {
  return Statistics{s_Written.load(std::memory_order_relaxed), s_Dropped.load(std::memory_order_relaxed)};
}

void Count(bool written) noexcept {
  (written ? s_Written : s_Dropped).fetch_add(1, std::memory_order_relaxed);
}

uint32_t CurrentThreadId() noexcept {
  (void)s_ForkHandlerRegistered;
  if (t_ThreadId == 0) t_ThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
  return t_ThreadId;
}

}  // namespace TraceRecordWriting
