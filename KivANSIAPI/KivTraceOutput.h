#pragma once
// The process's current trace output: the record writer over the trace ring
// of the present registration with the dispatcher, or none.
//
// Whoever holds the service client publishes a writer over its ring for
// exactly as long as the registration lasts, by holding a Publication:
//
//   auto output = std::make_unique<KivTraceOutput::Publication>(*serviceClient);
//   ...
//   output.reset();   // before the service client is destroyed
//
// Tracing threads write through KivTraceOutput::Write without any lock that
// the dispatcher or the service monitor could hold for long: the slot is an
// atomic pointer plus counts of writes in flight. Retracting a publication
// waits only for the writes already under way (each is one ring copy).
//
// In a forked child the slot starts empty: the child must not write into its
// parent's ring (the records would carry the parent's process id, and the
// parent's threads would not be serialised with it).

#include <memory>
#include <string_view>

#include "KivANSIAPI/TraceRecordWriter.h"

class KivTraceOutput {
 public:
  // Publishes a TraceRecordWriter over `target` (see TraceRecordWriter.h;
  // the target must outlive this object) as the process's trace output; the
  // destructor retracts it and waits for the writes under way. One
  // publication at a time: a second one replaces the first until either is
  // destroyed.
  class Publication {
   public:
    template <class Target>
    explicit Publication(Target& target) : Publication(std::make_unique<TraceRecordWriter<Target>>(target)) {}
    explicit Publication(std::unique_ptr<TraceRecordSink> sink);
    ~Publication();
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

   private:
    std::unique_ptr<TraceRecordSink> m_Sink;
  };

  // Writes one record through the current output (see
  // TraceRecordSink::Write). Without an output the record is dropped and
  // counted. Never raises, never blocks on the dispatcher.
  static bool Write(std::string_view module, std::string_view label, const std::string_view* client,
                    std::string_view text) noexcept;

  // True while an output is published.
  static bool IsAvailable() noexcept;
};
