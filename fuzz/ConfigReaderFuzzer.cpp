// The configuration reader over arbitrary XML, through each of its three
// processors. Whatever the document, a reading must return normally: no
// crash, no exception leaving Read, no unbounded work.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "KivConfigFileReader/KivConfigFileReader.h"

namespace {

// Counts the calls and touches every name, so the reader's arguments are
// really read.
struct CountingFilterManager {
  size_t calls = 0;
  size_t bytes = 0;
  void Note(const std::string& a, const std::string& b = {}, const std::string& c = {}) {
    ++calls;
    bytes += a.size() + b.size() + c.size();
  }
  void SetTraceSwitch(bool) { ++calls; }
  void SetDuplicateToDebugConsole(bool) { ++calls; }
  void SetLogFormat(const std::string& format) { Note(format); }
  void SetStatusTrace(bool) { ++calls; }
  void SetNetworkMode(NetworkMode) { ++calls; }
  void SetModuleStatus(const std::string& m, int32_t) { Note(m); }
  void SetGlobalLabelStatus(const std::string& l, int32_t) { Note(l); }
  void SetModuleLabelStatus(const std::string& m, const std::string& l, int32_t) { Note(m, l); }
  void SetGlobalClientStatus(const std::string& c, int32_t) { Note(c); }
  void SetModuleClientStatus(const std::string& m, const std::string& c, int32_t) { Note(m, c); }
  void SetGlobalClientLabelStatus(const std::string& c, const std::string& l, int32_t) { Note(c, l); }
  void SetModuleClientLabelStatus(const std::string& m, const std::string& c, const std::string& l, int32_t) {
    Note(m, c, l);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view xml(reinterpret_cast<const char*>(data), size);

  // The server and export readers differ from the client's only in also
  // telling the system log about parse errors; that is left out here, since
  // nearly every input is one and each message costs a system-log round trip.
  KivServerConfig config;
  KivServerConfigProcessor server(config);
  ConfigDocumentReader(server, false).ReadText(xml);

  CountingFilterManager manager;
  KivClientConfigProcessor<CountingFilterManager> client(manager);
  KivConfigFileReader<KivClientConfigProcessor<CountingFilterManager>>(client).ReadText(xml);

  MyConfigProcessor paths;
  ConfigDocumentReader(paths, false).ReadText(xml);
  return 0;
}
