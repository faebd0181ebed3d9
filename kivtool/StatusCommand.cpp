#include "kivtool/StatusCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "KivConfigFileReader/KivConfigFileReader.h"
#include "KivConfigFileReader/MyConfigProcessor.h"
#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"
#include "Support/CRuntimeInfo.h"
#include "Support/ConfigPath.h"
#include "Support/Defaults.h"
#include "kivtool/LogDirectory.h"
#include "kivtool/ToolConsole.h"

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// The running dispatcher's pid from its presence file, or 0.
uint32_t RunningDispatcher() {
  std::ifstream file(ServiceAvailabilityUsingPIDFile::PidFilePath(kServicePresenceName));
  unsigned long pid = 0;
  if (!(file >> pid) || pid == 0 || pid > UINT32_MAX) return 0;
  // A PID file left by a dispatcher that died names no running one.
  if (!Exists("/proc/" + std::to_string(pid) + "/status")) return 0;
  return static_cast<uint32_t>(pid);
}

// The log format the configuration file names ("binary" unless "text").
class FormatReader : public MyConfigProcessor {
 public:
  void SetLogFormat(const std::string& format) override { m_Format = format; }
  std::string m_Format;
};

std::string ConfiguredFormat() {
  FormatReader reader;
  KivConfigFileReader<FormatReader>(reader).Read(KivConfigPathPolicy().Get());
  if (reader.LogPath().empty()) return "unknown";
  return reader.m_Format == "text" ? "text" : "binary";
}

struct StatusEntry {
  std::string key, description, value;
};

// The entries of the status file ("Key(Description):value" lines after the
// "Last updated at:" line); `updated` gets the time of that line.
std::vector<StatusEntry> ReadStatusFile(const std::string& path, std::string& updated) {
  std::vector<StatusEntry> entries;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with("Last updated at:")) {
      updated = line.substr(16);
      continue;
    }
    const size_t open = line.find('(');
    const size_t close = line.find("):", open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) continue;
    entries.push_back(
        {line.substr(0, open), line.substr(open + 1, close - open - 1), line.substr(close + 2)});
  }
  return entries;
}

}  // namespace

long StatusCommandProcessor::UptimeSeconds(uint32_t pid) {
  std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  // The name in parentheses may hold blanks; fields are counted after it.
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream fields(stat.substr(end + 2));
  std::string field;
  for (int i = 3; i < 22 && fields >> field; ++i) {
  }
  unsigned long long startTicks = 0;
  if (!(fields >> startTicks)) return -1;
  std::ifstream uptimeFile("/proc/uptime");
  double systemUptime = 0;
  if (!(uptimeFile >> systemUptime)) return -1;
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return -1;
  const double seconds = systemUptime - static_cast<double>(startTicks) / static_cast<double>(ticks);
  return seconds < 0 ? 0 : static_cast<long>(seconds);
}

std::string StatusCommandProcessor::FormatDuration(long seconds) {
  char text[64];
  const long days = seconds / 86400;
  if (days > 0) {
    std::snprintf(text, sizeof text, "%ldd %02ld:%02ld:%02ld", days, seconds / 3600 % 24, seconds / 60 % 60,
                  seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  }
  return text;
}

void StatusCommandProcessor::Process(CommandLineParser::CommandOptions&) {
  const uint32_t pid = RunningDispatcher();
  if (pid == 0) {
    m_Out << "Dispatcher:         not running\n";
  } else {
    const long uptime = UptimeSeconds(pid);
    m_Out << "Dispatcher:         running, pid " << pid << ", up "
          << (uptime < 0 ? std::string("unknown") : FormatDuration(uptime)) << "\n";
  }
  const std::string config = KivConfigPathPolicy().Get();
  m_Out << "Configuration file: " << config << (Exists(config) ? " (found)" : " (not found)") << "\n";
  std::string logDirectory;
  try {
    logDirectory = ConfiguredLogDirectory();
  } catch (const std::exception& e) {
    logDirectory = std::string("none (") + e.what() + ")";
  }
  m_Out << "Log directory:      " << logDirectory << "\n";
  if (pid != 0) {
    const std::string path = CRuntimeInfo::TempDirectory() + "KivServerStatus.txt";
    std::string updated;
    const std::vector<StatusEntry> entries = ReadStatusFile(path, updated);
    std::map<std::string, std::string> values;
    for (const StatusEntry& entry : entries) values.emplace(entry.key, entry.value);
    auto value = [&](const char* key) {
      auto it = values.find(key);
      return it == values.end() ? std::string("unknown") : it->second;
    };
    // The output publishes its entries once it has opened a file.
    std::string format = value("Output\\Local\\Format");
    if (format == "unknown") format = ConfiguredFormat() + " (configured; no log file open yet)";
    m_Out << "Output format:      " << format << "\n"
          << "Output mode:        "
          << (values.contains("Output\\Network\\RemoteServerAddress")
                  ? "network to " + value("Output\\Network\\RemoteServerAddress") + ":" +
                        value("Output\\Network\\RemoteServerPort") + ", fallback to files " +
                        value("Output\\Network\\Fallback")
                  : std::string("local files"))
          << "\n"
          << "Preservation mode:  " << value("Output\\Local\\PreservationMode") << "\n"
          << "Clients connected:  " << value("Connections\\Local") << "\n";
    if (updated.empty()) {
      m_Out << "Status entries:     none (no status file " << path << ")\n";
    } else {
      m_Out << "Status entries (updated " << updated << "):\n";
      for (const StatusEntry& entry : entries)
        m_Out << "  " << entry.key << " = " << entry.value << "   (" << entry.description << ")\n";
    }
  }
  m_Out << std::flush;
  if (pid == 0) throw KivTool::ExitStatus{kNotRunning};
}
