// Filters and output formats of export on one log of several processes,
// modules, labels, clients, hosts and times; JSON and CSV read back by
// strict parsers.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "KivToolTestSupport.h"
#include "TraceLogBuilder.h"

using kivtooltest::BinaryLog;
using kivtooltest::BlockAround;
using kivtooltest::ControlRecord;
using kivtooltest::Record;

namespace {

using Messages = std::set<std::string>;

// 2026-01-01T10:00:00Z plus `seconds`.
TraceTimestamp At(uint32_t seconds) {
  TraceTimestamp t;
  t.m_Seconds = 1767261600u + seconds;
  t.m_Milliseconds = 250;
  return t;
}

// Reads a JSON Lines or CSV export strictly and prints one message per line
// (control records as "control:<name>:<pid>"); the hostile record's message
// must equal its raw bytes decoded with replacement.
const char* kReader = R"(import csv, io, json, sys
raw = open(sys.argv[1], 'rb').read()
def strict(text):
    return json.loads(text, parse_constant=lambda c: (_ for _ in ()).throw(ValueError(c)))
def read(path):
  kind = path.rsplit('.', 1)[1]
  data = open(path, 'rb').read().decode('utf-8')
  if kind == 'json':
      rows = [strict(line) for line in data.split('\n')[:-1]]
      assert data.endswith('\n') or not data
  else:
      reader = csv.DictReader(io.StringIO(data, newline=''), strict=True)
      assert reader.fieldnames == ['time','seq','host','pid','tid','module','label','client','message','control_code','control_name']
      rows = []
      for r in reader:
          if r['control_code']:
              r['control'] = {'code': int(r['control_code']), 'name': r['control_name']}
          r['pid'] = int(r['pid'])
          rows.append(r)
  for r in rows:
      assert r['time'].startswith('2026-') and r['time'].endswith('Z') or kind == 'csv' and r['time'] == '', r['time']
      if 'control' in r:
          print(path, 'control:%s:%d' % (r['control']['name'], r['pid']))
      elif r['pid'] == 400:
          assert r['message'] == raw.decode('utf-8', 'replace'), (r['message'], raw)
          print(path, 'hostile')
      else:
          print(path, r['message'])
for path in sys.argv[2:]:
  read(path)
)";

struct FilterSandbox : kivtooltest::ToolSandbox {
  std::string out = box.Dir() + "/out/";
  std::string hostile;
  FilterSandbox() {
    mkdir(out.c_str(), 0777);
    hostile = "q\"uote \\back\\slash\x01\x1f\x7f\t\r\ntab,comma \xff\xc3( \xc3\xa9 ";
    hostile.resize(1016, 'x');
    auto record = [](uint32_t seq, uint32_t at, uint32_t tid, const char* module, const char* label,
                     const char* client, std::string_view message) {
      return Record({seq, At(at), tid, module, label, client, message});
    };
    TraceTimestamp now = TraceTimestamp::Now();
    std::string local = BinaryLog({
        BlockAround(100, record(1, 0, 1, "Net", "Io", "c1", "alpha") +
                             record(2, 60, 2, "Db", "Sql", "c2", "beta needle")),
        BlockAround(200, record(3, 3600, 3, "Net", "Sql", "c1", "gamma")),
        BlockAround(999, ControlRecord(4, At(3600), TracePacketShared::ClientAttached, 200)),
        BlockAround(400, record(5, 3700, 4, "Odd", "Io", "c3", hostile)),
        BlockAround(500, Record({6, now, 5, "Now", "Io", "c3", "recent"})),
    });
    std::string peer = BinaryLog({BlockAround(300, record(7, 7200, 6, "Net", "Io", "c1", "delta"))});
    kivtest::WriteFile(logDir + "kivlog-LOCAL-20260101-10h00m00.000s.txt", local);
    kivtest::WriteFile(logDir + "kivlog-10.0.0.5-20260101-10h00m00.000s.txt", peer);
    kivtest::WriteFile(out + "reader.py", kReader);
    kivtest::WriteFile(out + "hostile.raw", hostile);
  }

  // Exports with `filters` in `format` into a file of its own; returns its path.
  std::string Export(const std::vector<std::string>& filters, const std::string& format) {
    std::string path = out + "x" + std::to_string(++exports) + "." + format;
    std::vector<std::string> args = {"export",  "-d",   logDir,    "-f",  path,
                                     "-silent", "-utc", "-format", format};
    args.insert(args.end(), filters.begin(), filters.end());
    auto r = kivtest::Run("kivtool", args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return path;
  }
  // The messages of every file, read back by the strict reader in one run
  // (the interpreter is slow to start).
  std::map<std::string, Messages> ReadBack(const std::vector<std::string>& paths) {
    std::string command = "python3 " + out + "reader.py " + out + "hostile.raw";
    for (const std::string& path : paths) command += " " + path;
    std::map<std::string, Messages> messages;
    FILE* reader = popen((command + " 2>&1").c_str(), "r");
    char line[4096];
    while (reader && fgets(line, sizeof line, reader)) {
      std::string text(line, strcspn(line, "\n"));
      size_t blank = text.find(' ');
      messages[text.substr(0, blank)].insert(blank == std::string::npos ? text : text.substr(blank + 1));
    }
    EXPECT_EQ(reader ? pclose(reader) : -1, 0) << "reader failed: " << ::testing::PrintToString(messages);
    return messages;
  }
  int exports = 0;
};

}  // namespace

TEST(ExportFilters, EachFilterSelectsItsRecordsInJsonAndCsv) {
  FilterSandbox s;
  const Messages all = {"alpha",   "beta needle", "gamma", "control:client_attached:999",
                        "hostile", "recent",      "delta"};
  struct Case {
    std::vector<std::string> filters;
    Messages expected;
  } cases[] = {
      {{}, all},
      {{"-pid", "100"}, {"alpha", "beta needle"}},
      // The attach record concerns pid 200 (written by the dispatcher, pid 999).
      {{"-pid", "200", "-module", "Net"}, {"gamma", "control:client_attached:999"}},
      {{"-PID", "100", "-pid", "300"}, {"alpha", "beta needle", "delta"}},
      {{"-tid", "2"}, {"beta needle"}},
      {{"-module", "Net"}, {"alpha", "gamma", "delta"}},
      {{"-label", "Sql"}, {"beta needle", "gamma"}},
      {{"-client", "c1", "-client", "c2"}, {"alpha", "beta needle", "gamma", "delta"}},
      {{"-since", "2026-01-01T10:00:30Z", "-until", "2026-01-01 11:00:00.250+00:00"},
       {"beta needle", "gamma", "control:client_attached:999"}},
      {{"-since", "-10min"}, {"recent"}},
      {{"-until", "-1d", "-grep", "needle"}, {"beta needle"}},
      {{"-host", "10.0.0.5"}, {"delta"}},
      {{"-host", "LOCAL", "-module", "Odd"}, {"hostile"}},
  };
  std::vector<std::string> paths;
  for (const Case& c : cases) {
    paths.push_back(s.Export(c.filters, "json"));
    paths.push_back(s.Export(c.filters, "csv"));
  }
  auto read = s.ReadBack(paths);
  for (size_t i = 0; i < paths.size(); ++i)
    EXPECT_EQ(read[paths[i]], cases[i / 2].expected)
        << paths[i] << " " << ::testing::PrintToString(cases[i / 2].filters);

  // A filtered text export keeps the standard lines byte for byte.
  // (-utc: the standard text lines in UTC.)
  auto full = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "all.txt", "-silent", "-utc"});
  auto some = kivtest::Run("kivtool", {"export", "-d", s.logDir, "-f", s.out + "some.txt", "-silent",
                                       "-label", "Sql", "-format", "TEXT", "-utc"});
  ASSERT_EQ(full.exitCode + some.exitCode, 0) << full.err << some.err;
  std::istringstream lines(kivtest::ReadFile(s.out + "all.txt"));
  std::string expected;
  for (std::string line; std::getline(lines, line);)
    if (expected.empty() || line.ends_with("beta needle") || line.ends_with("gamma")) expected += line + "\n";
  EXPECT_EQ(kivtest::ReadFile(s.out + "some.txt"), expected);
  EXPECT_EQ(expected.find("\n01/01/2026 10:01:00.250 "), KivTextFileOutputSupport::GetHeader().size() - 1)
      << expected;

  for (const auto& [args, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-pid", "12a"}, "-pid: invalid id \"12a\""},
           {{"-since", "yesterday"}, "-since: invalid time \"yesterday\""},
           {{"-until", "2026-02-30"}, "-until: invalid time \"2026-02-30\""},
           {{"-format", "xml"}, "-format: invalid format \"xml\" (text, json or csv)"}}) {
    std::vector<std::string> command = {"export", "-d", s.logDir, "-f", s.out + "bad.txt"};
    command.insert(command.end(), args.begin(), args.end());
    auto r = kivtest::Run("kivtool", command);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.err.find("Error description:" + error + "\n"), std::string::npos) << r.err;
    EXPECT_FALSE(kivtest::FileExists(s.out + "bad.txt"));
  }
}
