// Throughput of the dispatcher's syslog output into a real rsyslogd over TCP
// and TLS, beside local binary files alone, in the same run. The dispatcher's
// output path runs in this process (a KivTraceStreamDispatcher writing
// binary files, with or without the syslog output), fed with prepared blocks
// of typical records; the figures are wall-clock records per second until
// rsyslogd has filed the last record, and this process's CPU time (writing
// threads and the sender thread) per million records. rsyslogd's own CPU is
// shown apart.
//
//   SyslogBench [--records=200000] [--runs=3]

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "KivService/KivTraceStreamDispatcher.h"
#include "KivService/SyslogOutput.h"
#include "MemoryStream/MemoryOutputStream.h"
#include "TestSupport/RsyslogServer.h"
#include "TestSupport/Sandbox.h"
#include "TraceData/TracePacket.h"
#include "TraceData/TraceRecord.h"
#include "TraceData/TraceRecordBuilder.h"

namespace {

constexpr int kRecordsPerBlock = 100;

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double CpuOfPid(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i)
    if (i == 14 || i == 15) ticks += std::stod(f);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Blocks of typical records: module, label, client, a 60-character message.
std::vector<std::vector<uint8_t>> MakeBlocks(uint64_t records) {
  std::vector<std::vector<uint8_t>> blocks;
  uint32_t sequence = 1;
  const char* labels[] = {"Error", "Warning", "Debug", "Info"};
  while (sequence <= records) {
    SmartBufferOutputStream<65536> body;
    for (int i = 0; i < kRecordsPerBlock && sequence <= records; ++i, ++sequence) {
      TraceRecord<1024> r(sequence);
      r << TracePacket<std::string>("Network", TracePacketShared::ModuleName)
        << TracePacket<std::string>(labels[sequence % 4], TracePacketShared::LabelName)
        << TracePacket<std::string>("BenchClient", TracePacketShared::ClientName)
        << TracePacket<uint32_t>(1234, TracePacketShared::ThreadId)
        << TracePacket<std::string>(
               "request " + std::to_string(sequence) + " served in 12 ms from the cache tier",
               TracePacketShared::MessageText);
      r.WriteTo(body);
    }
    TraceBlockHeader header;
    std::snprintf(header.m_HostName, sizeof header.m_HostName, "benchhost");
    header.m_ProcessId = 4242;
    header.m_BodyLength = body.GetLength();
    SmartBufferOutputStream<65536> out;
    TraceRecordBuilder::AppendBlock(out, header, body.Data());
    blocks.emplace_back(out.Data(), out.Data() + out.GetLength());
  }
  return blocks;
}

struct Figures {
  double recordsPerSecond = 0;
  double cpuPerMillion = 0;      // this process, seconds
  double rsyslogPerMillion = 0;  // rsyslogd, seconds
};

// One pass: `transport` "none" (binary files only), "tcp" or "tls".
Figures Pass(const std::string& transport, const std::vector<std::vector<uint8_t>>& blocks, uint64_t records,
             const std::string& work) {
  kivtest::RsyslogServer rsyslog(work + "/rsyslog-" + transport);
  if (transport != "none" && !rsyslog.Start()) {
    std::cerr << "rsyslogd did not start\n";
    std::exit(1);
  }
  StatusReport::Collector collector;
  ConfigServer server;
  KivServerConfig& c = server.Config();
  c.m_TraceEnabled = true;
  c.m_LogDirectory = work + "/log-" + transport + "\\";
  c.m_LogFormat = "binary";
  c.m_MaxBackups = 4;
  c.m_MaxFileSize = c.m_PreserveMaxFileSize = 64 << 20;
  if (transport != "none") {
    c.m_Syslog.m_On = true;
    c.m_Syslog.m_Server = "127.0.0.1";
    c.m_Syslog.m_Tls = transport == "tls";
    c.m_Syslog.m_Port = c.m_Syslog.m_Tls ? rsyslog.TlsPort() : rsyslog.Port();
    c.m_Syslog.m_TlsCa = rsyslog.Ca();
    // The blocks are written far faster than any server takes them: the
    // queue holds the whole run, so that nothing is lost to the bound.
    c.m_Syslog.m_QueueKilobytes = 1 << 20;
  }
  SyslogOutput syslog(server, collector);
  server.BroadcastConfigChange();
  KivTraceStreamDispatcher dispatcher(server, collector, "LOCAL");

  const double rsyslogCpu0 = transport != "none" ? CpuOfPid(rsyslog.Pid()) : 0;
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  for (const auto& block : blocks) dispatcher.write(block.data(), static_cast<uint32_t>(block.size()));
  // The dispatcher's share ends when the sender has handed the last record
  // to the connection; the throughput when rsyslogd has filed it.
  if (transport != "none" &&
      !kivtest::WaitFor([&] { return syslog.Sent() >= records; }, std::chrono::seconds(120)))
    std::cerr << transport << ": only " << syslog.Sent() << " of " << records << " sent, " << syslog.Lost()
              << " lost\n";
  const double cpu = ProcessCpuSeconds() - cpu0;
  while (transport != "none" && rsyslog.LineCount() < records &&
         std::chrono::steady_clock::now() - t0 < std::chrono::seconds(600))
    usleep(50000);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  Figures f;
  f.recordsPerSecond = records / seconds;
  f.cpuPerMillion = cpu * 1e6 / records;
  if (transport != "none") f.rsyslogPerMillion = (CpuOfPid(rsyslog.Pid()) - rsyslogCpu0) * 1e6 / records;
  return f;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t records = 200000;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--records=", 10) == 0) records = std::stoull(argv[i] + 10);
    if (std::strncmp(argv[i], "--runs=", 7) == 0) runs = std::stoi(argv[i] + 7);
  }
  if (!kivtest::RsyslogServer::Available()) {
    std::cerr << kivtest::RsyslogServer::kProgram << " is not installed\n";
    return 1;
  }
  kivtest::Sandbox sandbox;  // its own OLVAN_VORNEL_DIR, removed at the end
  const auto blocks = MakeBlocks(records);
  const std::vector<std::string> kinds = {"none", "tcp", "tls"};
  std::vector<std::vector<Figures>> all(kinds.size());
  for (int run = 0; run < runs; ++run)
    for (size_t k = 0; k < kinds.size(); ++k) {
      std::string work = sandbox.Dir() + "/run" + std::to_string(run);
      std::filesystem::create_directories(work);
      all[k].push_back(Pass(kinds[k], blocks, records, work));
      std::filesystem::remove_all(work);
    }
  std::cout << "| Output | Records per second (median, min-max) | CPU s per million records (dispatcher) | "
               "rsyslogd CPU s per million |\n|---|---|---|---|\n";
  const char* names[] = {"binary files only", "binary files + syslog TCP", "binary files + syslog TLS"};
  for (size_t k = 0; k < kinds.size(); ++k) {
    std::vector<double> rate, cpu, rs;
    for (const auto& f : all[k]) {
      rate.push_back(f.recordsPerSecond);
      cpu.push_back(f.cpuPerMillion);
      rs.push_back(f.rsyslogPerMillion);
    }
    char line[256];
    std::snprintf(line, sizeof line, "| %s | %.0f (%.0f-%.0f) | %.2f | %s |\n", names[k], Median(rate),
                  *std::min_element(rate.begin(), rate.end()), *std::max_element(rate.begin(), rate.end()),
                  Median(cpu), k == 0 ? "" : std::to_string(Median(rs)).substr(0, 4).c_str());
    std::cout << line;
  }
  return 0;
}
