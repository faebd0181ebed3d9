#pragma once
// The process's current trace output: the record writer over the trace ring
// of the present registration with the dispatcher, or none.
//
// Whoever holds the service client publishes a writer over its ring for
// exactly as long as the registration lasts, by holding a Publication. The
// service client does so through Publisher(), the TraceOutputPublisher it is
// given; elsewhere (tests):
//
//   auto output = std::make_unique<KivTraceOutput::Publication>(target);
//   ...
//   output.reset();   // before the target is destroyed
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
#include "KivService/TraceOutputPublisher.h"

class KivTraceOutput {
 public:
  // Publishes a TraceRecordWriter over `target` (see TraceRecordWriter.h;
  // the target must outlive this object) as the process's trace output; the
  // destructor retracts it and waits for the writes under way. One
  // publication at a time: a second one replaces the first until either is
  // destroyed.
  class Publication final : public TraceOutputPublisher::Publication {
   public:
    template <class Target>
    explicit Publication(Target& target) : Publication(std::make_unique<TraceRecordWriter<Target>>(target)) {}
    explicit Publication(std::unique_ptr<TraceRecordSink> sink);
    ~Publication() override;
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

   private:
    std::unique_ptr<TraceRecordSink> m_Sink;
  };

  // The process's publisher for service clients: publishes a
  // TraceRecordWriter over the client's ring. Lives as long as the process.
  static TraceOutputPublisher& Publisher() noexcept;

  // Writes one record through the current output (see
  // TraceRecordSink::Write). Without an output the record is dropped and
  // counted. Never raises, never blocks on the dispatcher.
  static bool Write(TraceRecordWriting::Image& image) noexcept;
  static bool Write(std::string_view module, std::string_view label, const std::string_view* client,
                    std::string_view text) noexcept;

  // True while an output of a registration with a running dispatcher is
  // published.
  static bool IsAvailable() noexcept;
  // True while any writer is published, an orphaned one included.
  static bool HasWriter() noexcept;
};
