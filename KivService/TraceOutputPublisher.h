#pragma once
// How a client process's service client makes its trace ring the process's
// trace output. The client library implements it (its trace calls write
// through what is published); the interface lives here so that this library
// needs nothing of the library above it.
//
// Only the slow path goes through it: publishing at a registration,
// retracting before the service client goes, the hand-over after a
// dispatcher died. Records never do. Called from the service monitor's
// thread and whoever destroys a service client; the implementation
// serialises publications itself.

#include <cstdint>
#include <memory>

class KivServiceClient;

class TraceOutputPublisher {
 public:
  // A published output: destroying it retracts it and waits for the writes
  // already under way.
  class Publication {
   public:
    virtual ~Publication() = default;
  };

  virtual ~TraceOutputPublisher() = default;
  // Publishes a writer over `client`'s trace ring in place of any other;
  // the client must outlive the returned publication.
  virtual std::unique_ptr<Publication> Publish(KivServiceClient& client) = 0;
  // The published output's dispatcher has gone: records still go into its
  // ring, but the process is not registered.
  virtual void MarkOrphaned() = 0;
  // While set, a trace call that finds no output waits for the next one
  // rather than drop its record (a hand-over is under way).
  virtual void SetSwitching(bool switching) = 0;
  // Records dropped while no output was published, since the last call.
  virtual uint64_t TakeUnpublishedDrops() = 0;
};
