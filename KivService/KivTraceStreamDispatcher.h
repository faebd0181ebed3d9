#pragma once
// The single way out for trace blocks: a dispatcher picks its output from the
// settings (text log files, binary log files, or a remote dispatcher with
// local files as fallback), rebuilds that output whenever the settings change
// or tracing is paused or resumed, and serialises every write.
//
// The process-wide dispatcher of local data is KivLocalTraceStreamDispatcher
// ("LOCAL"); each network-server connection has one of its own, named after
// the peer's address (KivNetworkServer).
//
// Locking: m_Lock (non-reentrant) guards every member below it and is held
// for the whole of write(), OnConfigChanged(), Pause() and Resume(), so a
// rebuild never overlaps a write and blocks reach the output whole, in the
// order the writers took the lock. Lock order: the configuration server's
// client list (during a broadcast), then m_Lock, then the stream's own locks
// and its status entries' locks.
//
// Lifetime: the configuration server and the status collector must outlive
// the dispatcher. A dispatcher made with `connect` = true registers with the
// configuration server at the end of its construction; a derived class that
// overrides OnConfigChanged() passes false and calls Connect() at the end of
// its own constructor (and Disconnect() at the start of its destructor), so a
// broadcast never reaches a half-built or half-destroyed object.

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/KivRecordSequenceGenerator.h"
#include "KivService/StatusReport.h"
#include "KivService/TraceLossLedger.h"
#include "MultiFileStream/RotatingFileOutput.h"
#include "Support/CriticalSectionSyncPolicy.h"
#include "Support/ThreadAnnotations.h"

class RenderedBlock;  // FileStream.h

class KivTraceStreamDispatcher : public ConfigServer::Client {
 public:
  enum OutputKind : int32_t {
    TextFiles = 0,
    BinaryFiles = 1,
    Network = 2,
    JsonFiles = 3,
  };

  // An output of the dispatcher. write() takes one whole trace block; the
  // dispatcher calls it with m_Lock held, never concurrently.
  class Stream {
   public:
    Stream() = default;
    virtual ~Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    virtual void write(const void* data, uint32_t length) = 0;
    // The same block with the writer's rendering of it (RenderedBlock), made
    // for the output kind current before the lock was taken; an output
    // that renders nothing, or finds it made for another kind, writes the
    // block as write() does.
    virtual void WriteRendered(const void* data, uint32_t length, const RenderedBlock& rendered) {
      (void)rendered;
      write(data, length);
    }
    // One block in `count` pieces (RotatingFileOutput::kMaxPieces at most),
    // some read straight from a mapping another process may cut short.
    // Raises SourceFault, with nothing of the block written, when a piece
    // cannot be read. This default gathers them (guarded) for write().
    virtual void WriteGathered(const iovec* pieces, int count);
  };
  // A block's pieces could not be read: its writer's source failed, not the output.
  struct SourceFault : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  enum class Outcome { Written, OutputFailed, SourceFaulted };

  // The configuration server local dispatchers register with. Set by the
  // server manager before the first dispatcher is made.
  static ConfigServer* s_Server;
  // Set by the server manager with s_Server (null: nothing is accounted):
  // the ledger of written and lost records, and the numbers of the "records
  // lost" control records.
  static TraceLossLedger* s_Ledger;
  static KivRecordSequenceGenerator* s_Sequence;

  // Builds the output from the current settings (unless tracing is off). A
  // stream that cannot be built is logged in diagnostic mode and leaves the
  // dispatcher without one until the next change; it does not fail the
  // construction, so writers can always be made.
  KivTraceStreamDispatcher(ConfigServer& server, StatusReport::Collector& collector, std::string name,
                           bool connect = true);
  ~KivTraceStreamDispatcher() override;

  // Rereads the settings and rebuilds the output (always: a change that
  // leaves the output settings as they were still starts a new file or
  // connection). A failure to build leaves no stream and raises.
  void OnConfigChanged() override;

  // Writes one whole trace block to the current output, and hands it to the
  // syslog output when there is one (SyslogOutput::Current()); without an
  // output (tracing off, paused, or a failed rebuild) the block is dropped. Never raises:
  // writers must not see output errors. Returns false when the output failed
  // (logged in diagnostic mode), true otherwise. The records of a block that
  // failed or found no output while tracing was on and not paused are lost:
  // a "records lost" control record tells them before the next block that
  // reaches this output (the losses of any process waiting are written
  // first). `observer`, when given, learns where in a log file the block
  // itself (not a loss record before it) is about to go. `rendered`, when
  // given (owned by the calling thread), is where the block is rendered for
  // the current output before the lock is taken, so that only the append
  // waits for other writers. `records`, when the caller has counted the
  // block's whole records already, saves counting them again.
  static constexpr uint64_t kCountRecords = ~uint64_t{0};
  bool write(const void* block, uint32_t length, RotatingFileOutput::AppendObserver* observer = nullptr,
             RenderedBlock* rendered = nullptr, uint64_t records = kCountRecords) noexcept;
  // write() for a block whose header packet is the first of `count` pieces
  // and whose `records` records follow in the others, passed to the output
  // with no copy where it can (binary files): the pieces may lie in a
  // mapping another process may cut short (MappedAccess.h). SourceFaulted:
  // a piece could not be read; nothing of the block was written or
  // accounted, and the caller's source is to be taken as lost.
  Outcome WriteGathered(const iovec* pieces, int count, uint64_t records,
                        RotatingFileOutput::AppendObserver* observer) noexcept;
  // Whether WriteGathered() would write the pieces as they are now (binary
  // files, no syslog copy); a hint, read without the lock.
  bool TakesPieces() const;

  // `records` of process `pid` were lost before it reached this dispatcher
  // (`cause`); told at once when the output works, else with the next block.
  // `observer` as for write(), for the record that tells this process's loss.
  void ReportLost(uint32_t pid, uint64_t records, int cause,
                  RotatingFileOutput::AppendObserver* observer = nullptr) noexcept;

  // Pause drops the output (closing its file or connection); blocks written
  // while paused are lost. Resume builds a new output (a new file). Both
  // raise only when the new output cannot be built.
  void Pause();
  void Resume();

  // Snapshots for status and tests, each taken under m_Lock.
  bool IsPaused();
  bool IsTraceEnabled();
  OutputKind CurrentOutputKind();
  bool HasStream();

  const std::string& Name() const { return m_Name; }
  StatusReport::Collector& Collector() const { return m_Collector; }

 protected:
  // Copies the settings, then Manage(). Also called by the constructor.
  void ProcessConfig() REQUIRES(m_Lock);
  // Drops the current stream and, when tracing is on and not paused, builds a
  // new one of m_OutputKind.
  void Manage() REQUIRES(m_Lock);

  CriticalSectionSyncPolicy m_Lock;

 private:
  void SetPaused(bool paused);
  // write() and WriteGathered(): `rendered` only for a block in one piece.
  Outcome Deliver(const iovec* pieces, int count, uint64_t records, RotatingFileOutput::AppendObserver* observer,
                  RenderedBlock* rendered) noexcept;
  // The host the syslog output reports this dispatcher's records under
  // (empty: each block's own host name).
  std::string_view SyslogOrigin() const;
  // Writes a "records lost" control record for every loss waiting for this
  // output; raises (keeping what was not written) when the output fails.
  // m_Stream is set.
  void WritePendingLosses(uint32_t observedPid = 0, RotatingFileOutput::AppendObserver* observer = nullptr)
      REQUIRES(m_Lock);

  const std::string m_Name;  // "LOCAL", or a peer's dotted address
  bool m_TraceEnabled GUARDED_BY(m_Lock) = false;
  bool m_Paused GUARDED_BY(m_Lock) = false;
  OutputKind m_OutputKind GUARDED_BY(m_Lock) = TextFiles;
  StatusReport::Collector& m_Collector;
  std::unique_ptr<Stream> m_Stream GUARDED_BY(m_Lock);  // owned, may be empty
  // The kind of m_Stream (BinaryFiles: none), written under m_Lock and read
  // without it by writers that render before taking it.
  std::atomic<OutputKind> m_RenderKind{BinaryFiles};
};
