#pragma once
// "kivtool follow [-d log_dir] [filters] [-format text|json|csv] [-utc]":
// prints the last 10 records of the newest log file, then every record as
// the dispatcher writes it, switching to each new log file as it appears
// (rotation, a new series after a restart), until SIGINT or SIGTERM.
// Changes are waited for with inotify, never by polling.
//
// Binary logs are decoded, filtered and rendered like export; text logs are
// copied line by line (only -grep applies to them, on the whole line).

#include <signal.h>

#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "CommandProcess/CmdProcess.h"
#include "MemoryStream/MemoryInputStream.h"
#include "Support/FileDescriptor.h"
#include "TraceData/TraceBlockReader.h"
#include "kivtool/RecordRendering.h"

// The follower's output: while collecting, keeps the last `kTail` pieces
// written (one per record); afterwards writes straight to a descriptor.
class FollowOutput {
 public:
  static constexpr size_t kTail = 10;
  explicit FollowOutput(int fd) : m_Fd(fd) {}
  void write(const void* data, uint64_t length);
  // Ends the collecting: writes the pieces kept, then everything goes out.
  void StopCollecting();
  // Writes what is buffered; false when the reader has gone (EPIPE).
  bool Flush();

 private:
  int m_Fd;
  bool m_Collecting = true;
  std::deque<std::string> m_Tail;
  std::string m_Buffer;
};

class LogFollower {
 public:
  // Follows the "kivlog-" files of `directory` (of `hosts` only, unless
  // empty), writing to `out`; problems with a file go to `err`. The options
  // are borrowed and must outlive the follower.
  LogFollower(std::string directory, std::vector<std::string> hosts, const RenderOptions& options, int out,
              std::ostream& err);
  ~LogFollower();
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  // Runs until `stop` becomes non-zero (set from a signal handler, which
  // interrupts the wait) or the output's reader goes away. Raises when the
  // directory cannot be watched.
  void Run(const volatile sig_atomic_t& stop);

 private:
  using Client = RecordRenderingClient<MemoryInputStream, FollowOutput>;
  enum class Kind { kUnknown, kBinary, kText, kForeign };

  bool Selected(const std::string& name) const;
  std::string NewestFile() const;
  void Open(const std::string& name);
  // Reads what the current file gained and renders every whole block or line.
  void ReadCurrent();
  void RenderPending();

  std::string m_Directory;
  std::vector<std::string> m_Hosts;
  const RenderOptions& m_Options;
  std::ostream& m_Err;
  FollowOutput m_Output;
  MemoryInputStream m_NoInput;  // the client's progress input; progress is off
  Client m_Client;
  std::unique_ptr<TraceBlockReader<Client, 1000>> m_Reader;
  FileDescriptor m_Watch;
  FileDescriptor m_File;
  std::string m_FileName;
  Kind m_Kind = Kind::kUnknown;
  std::string m_Pending;
};

class FollowCommandProcessor : public CommandLineParser::CommandProcessor {
 public:
  void Process(CommandLineParser::CommandOptions& options) override;
};
