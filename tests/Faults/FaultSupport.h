#pragma once
// Shared pieces of the fault tests: the real dispatcher in a sandbox, client
// processes that trace through the client library, exporting a log directory
// with kivtool and counting the records that came through.
//
// Records written by the fault tests carry "<tag>#<number>;" as their text,
// so an export can be counted per writer without reading binary files.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KivANSIAPI/KivANSIAPI.h"
#include "MemoryStream/MemoryInputStream.h"
#include "MultiFileStream/KivFileOutputSupport.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
#include "TestSupport/Sandbox.h"
#include "TraceData/TracePacket.h"
#include "TraceData/TraceStructures.h"

namespace faults {

// Binary logs in <sandbox>/log; module "Fault" label "Error" is traced.
inline std::string Config(const std::string& logPath = "$(OLVAN_VORNEL_DIR)/log",
                          const std::string& fileKb = "1024",
                          const std::string& network = "<Network mode=\"none\"/>",
                          const std::string& format = "binary") {
  return R"(<?xml version="1.0"?>
<KIVConfig trace="1">
  <Logfile path=")" +
         logPath + R"(" size=")" + fileKb + R"(" maxbackups="200" preserve_size="2048"
           preserve_maxbackups="50" log_format=")" +
         format + R"("/>
  <StatusTrace state="on"/>
  )" + network +
         R"(
  <Global><GLabel name="Error" state="1"/></Global>
  <Module name="Fault" state="1"><MLabel name="Error" state="1"/></Module>
</KIVConfig>
)";
}

// The real kivserver of one sandbox. A dispatcher still running when the
// object goes is killed.
class Dispatcher {
 public:
  explicit Dispatcher(const kivtest::Sandbox& sandbox) : m_Sandbox(sandbox) {}
  ~Dispatcher() { Kill(); }

  // `kivserver start` with the extra environment; waits until it serves.
  bool Start(const std::vector<std::string>& env = {}) {
    auto r = kivtest::Run("kivserver", {"start"}, "", env);
    if (r.exitCode != 0) return false;
    const std::string pidFile = m_Sandbox.TempDir() + "KivService.pid";
    // The file may be seen between its creation and its content.
    std::string text;
    if (!kivtest::WaitFor(
            [&] {
              text = kivtest::FileExists(pidFile) ? kivtest::ReadFile(pidFile) : "";
              return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0]));
            },
            std::chrono::seconds(20)))
      return false;
    m_Pid = static_cast<uint32_t>(std::stoul(text));
    return Running();
  }
  bool Running() const { return m_Pid != 0 && WatchServiceStopUsingPID::IsProcessRunning(m_Pid); }
  uint32_t Pid() const { return m_Pid; }
  void Kill() {
    if (!Running()) return;
    kill(static_cast<pid_t>(m_Pid), SIGKILL);
    kivtest::WaitFor([&] { return !Running(); }, std::chrono::seconds(20));
  }
  bool Stop() {
    auto r = kivtest::Run("kivserver", {"stop"});
    return r.exitCode == 0 && kivtest::WaitFor([&] { return !Running(); }, std::chrono::seconds(20));
  }

 private:
  const kivtest::Sandbox& m_Sandbox;
  uint32_t m_Pid = 0;
};

// Map files of clients ("KivTraceBuffer<pid>.map", "KivServerMessageBuffer<pid>.map")
// left in {temp}.
inline std::vector<std::string> ClientMapFiles(const kivtest::Sandbox& sandbox) {
  std::vector<std::string> out;
  for (const auto& name : kivtest::ListDir(sandbox.TempDir()))
    if (name.rfind("KivTraceBuffer", 0) == 0 ||
        (name.rfind("KivServerMessageBuffer", 0) == 0 && name != "KivServerMessageBuffer.map"))
      out.push_back(name);
  return out;
}

// Runs a built program with a time limit: a hang ends it with SIGALRM
// (exit code 128 + 14). Output goes to files in `workDir`.
inline kivtest::RunResult RunBounded(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& workDir, unsigned seconds = 30) {
  const std::string out = workDir + "/run.out", err = workDir + "/run.err";
  pid_t child = fork();
  if (child == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || in < 0) _exit(127);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<std::string> all{kivtest::BinPath(program)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    alarm(seconds);  // survives exec: a hang is ended by SIGALRM
    execv(argv[0], argv.data());
    _exit(127);
  }
  kivtest::RunResult result;
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = kivtest::ReadFile(out);
  result.err = kivtest::ReadFile(err);
  return result;
}

// `kivtool export -d <logDir> -f <file> -silent`, bounded.
struct Export {
  kivtest::RunResult run;
  std::string text;  // the export file
};
inline Export ExportDirectory(const std::string& logDir, const std::string& workDir, unsigned seconds = 30) {
  std::filesystem::create_directories(workDir);
  const std::string file = workDir + "/export.txt";
  std::filesystem::remove(file);
  Export e;
  e.run = RunBounded("kivtool", {"export", "-d", logDir, "-f", file, "-silent"}, workDir, seconds);
  if (kivtest::FileExists(file)) e.text = kivtest::ReadFile(file);
  return e;
}

// Numbers of the records "<tag>#<n>;" in an export, with repeats.
inline std::multiset<long> RecordNumbers(const std::string& text, const std::string& tag) {
  std::multiset<long> out;
  const std::string key = tag + "#";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) break;
    const std::string digits = text.substr(at + key.size(), end - at - key.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    out.insert(std::stol(digits));
  }
  return out;
}

// Shared between the test and its client processes (anonymous shared mapping
// made before fork).
struct ClientBoard {
  std::atomic<long> written[8];     // records the library accepted, per client
  std::atomic<int> connected[8];    // KivTraceConnected() as last seen
  std::atomic<int> disconnects[8];  // connected -> not connected transitions seen
  std::atomic<long> dropped[8];     // KivGetTraceStatistics' dropped count (now and then, exact at the end)
  std::atomic<long> accepted[8];    // and its written count (both now and then, exact at the end)
  std::atomic<int> stop;
};
inline ClientBoard* MakeBoard() {
  void* p = mmap(nullptr, sizeof(ClientBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  return new (p) ClientBoard{};
}
inline void FreeBoard(ClientBoard* board) { munmap(board, sizeof(ClientBoard)); }

// A client process using the client library: waits (up to 20 s) for the
// dispatcher, then traces "<tag>#<n>;" with n counting up from 0, each record
// once accepted, until board->stop or `limit` records. Retries a record the
// library refused (ring full, or no dispatcher at the moment) unless
// `everyCall`: then every call takes a number, written counts the calls and
// a refused record leaves a gap. `threads` threads trace at once, numbers
// shared (one thread: they are accepted in order). Ends with exit() so the
// library unregisters. Never returns.
[[noreturn]] inline void ApiClientProcess(ClientBoard* board, int slot, const std::string& tag,
                                          long limit = -1, bool everyCall = false, int threads = 1) {
  int module = 0, label = 0;
  if (KivGetModuleHandle("Fault", &module) != 0 || KivGetLabelHandle("Error", &label) != 0) _exit(3);
  for (int i = 0; i < 200 && !KivTraceConnected(); ++i) usleep(100000);
  if (!KivTraceConnected()) _exit(4);
  board->connected[slot] = 1;
  std::atomic<long> next{0};
  const auto trace = [&](bool watch) {
    for (long calls = 1;; ++calls) {
      if (watch) {
        int connected = KivTraceConnected();
        if (board->connected[slot] && !connected) ++board->disconnects[slot];
        board->connected[slot] = connected;
      }
      if (board->stop) return;
      const long n = next.fetch_add(1);
      if (limit >= 0 && n >= limit) return;
      while (!KivTrace(module, KIV_NO_CLIENT, label, "%s#%ld;", tag.c_str(), n) && !everyCall) {
        if (board->stop) return;
        usleep(1000);
      }
      ++board->written[slot];
      uint64_t accepted = 0, dropped = 0;
      if (calls % 64 == 0 && KivGetTraceStatistics(&accepted, &dropped) == 0)
        board->dropped[slot] = static_cast<long>(dropped),
        board->accepted[slot] = static_cast<long>(accepted);
      if (calls % 64 == 0) usleep(1000);  // let the dispatcher keep up
    }
  };
  std::vector<std::thread> others;
  for (int t = 1; t < threads; ++t) others.emplace_back(trace, false);
  trace(true);
  for (auto& t : others) t.join();
  uint64_t accepted = 0, dropped = 0;
  if (KivGetTraceStatistics(&accepted, &dropped) == 0) {
    board->dropped[slot] = static_cast<long>(dropped);
    board->accepted[slot] = static_cast<long>(accepted);
  }
  std::exit(0);
}

// Forks ApiClientProcess; returns the child's pid.
inline pid_t StartApiClient(ClientBoard* board, int slot, const std::string& tag, long limit = -1,
                            bool everyCall = false, int threads = 1) {
  pid_t pid = fork();
  if (pid == 0) ApiClientProcess(board, slot, tag, limit, everyCall, threads);
  return pid;
}

// The counts of the "records lost" control records of process `pid` in an
// export, in their order, each with the number of the last "<tag>#<n>;"
// record before it (-1: none).
struct LossRecord {
  long count;
  long after;
};
inline std::vector<LossRecord> LossRecords(const std::string& text, uint32_t pid, const std::string& tag) {
  std::vector<LossRecord> out;
  const std::string marker = "[Control message from process " + std::to_string(pid) + "]:";
  long last = -1;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    const size_t at = line.find(marker);
    if (at != std::string::npos && line.find(" records lost ", at) != std::string::npos) {
      out.push_back({std::stol(line.substr(at + marker.size())), last});
      continue;
    }
    auto numbers = RecordNumbers(line, tag);
    if (!numbers.empty()) last = *numbers.begin();
  }
  return out;
}

// The block framing of one binary log file: the note header, then block
// header packets whose body lengths lead exactly to the end of the file.
// Record contents are not looked at.
struct Framing {
  bool intact = false;
  size_t blocks = 0;
  std::string problem;
  std::vector<size_t> blockStarts;  // file offsets of the whole blocks found
  std::vector<size_t> blockEnds;
};
inline Framing CheckFraming(const std::string& path) {
  Framing f;
  const std::string bytes = kivtest::ReadFile(path);
  if (bytes.size() < KivBinaryFileOutputSupport::HeaderSize ||
      bytes.compare(0, KivBinaryFileOutputSupport::HeaderSize, KivBinaryFileOutputSupport::GetHeader()) !=
          0) {
    f.problem = "file header";
    return f;
  }
  MemoryInputStream in(bytes.data() + KivBinaryFileOutputSupport::HeaderSize,
                       static_cast<uint32_t>(bytes.size() - KivBinaryFileOutputSupport::HeaderSize));
  try {
    while (in.GetDataLength() > 0) {
      const size_t start = bytes.size() - in.GetDataLength();
      TracePacketDeserializer<MemoryInputStream> packet(in);
      packet.ReadAttributes();
      TraceBlockHeader header;
      packet >> header;
      if (header.m_BodyLength > in.GetDataLength()) {
        f.problem = "block " + std::to_string(f.blocks) + " longer than the rest of the file";
        return f;
      }
      in.ReadView(header.m_BodyLength);
      f.blockStarts.push_back(start);
      f.blockEnds.push_back(bytes.size() - in.GetDataLength());
      ++f.blocks;
    }
  } catch (const std::exception& e) {
    f.problem = "block " + std::to_string(f.blocks) + ": " + e.what();
    return f;
  }
  f.intact = true;
  return f;
}

// Log files ("kivlog-*") of a directory, oldest first.
inline std::vector<std::string> LogFiles(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& name : kivtest::ListDir(dir))
    if (name.rfind("kivlog-", 0) == 0) out.push_back(dir + "/" + name);
  return out;
}

// Exit status of a child, 128 + signal when killed.
inline int Reap(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Prints one line for RELIABILITY.md: fault, written, exported, lost.
inline void ReportCounts(const std::string& fault, long written, long exported) {
  std::printf("[reliability] %s: written %ld, exported %ld, lost %ld\n", fault.c_str(), written, exported,
              written - exported);
}

}  // namespace faults
