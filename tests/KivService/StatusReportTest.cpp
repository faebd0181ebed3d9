#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "KivService/FileStatusReport.h"
#include "KivService/StatusReport.h"
#include "Support/TimerClassMemberFunction.h"
#include "TestSupport/Sandbox.h"

using StatusReport::Collector;
using StatusReport::Status;

namespace {

tm LocalTime(int year, int month, int day, int hour, int minute, int second) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::string Report(const Collector& collector, const tm& when = LocalTime(2004, 3, 7, 9, 5, 3)) {
  std::ostringstream out;
  FileStatusReport::WriteReport(out, when, collector);
  return out.str();
}

}  // namespace

TEST(StatusReport, FirstLineHasUnpaddedDateAndPaddedTime) {
  Collector collector;
  EXPECT_EQ(Report(collector), "Last updated at:3/7/2004 09:05:03\n");
  EXPECT_EQ(Report(collector, LocalTime(1999, 12, 31, 23, 59, 0)), "Last updated at:12/31/1999 23:59:00\n");
}

TEST(StatusReport, EntriesInRegistrationOrderWithUnsetDefaultsAndSignedNumbers) {
  Collector collector;
  Status format(collector, "Output\\Local\\Format", "Format of log files", StatusReport::Text);
  Status size(collector, "Output\\Local\\MaxFileSize", "Limit of individual file size", StatusReport::Number);
  auto fallback = std::make_unique<Status>(collector, "Output\\Network\\Fallback",
                                           "Fallback mode of network output", StatusReport::Text);
  Status port(collector, "Output\\Network\\RemoteServerPort", "Port of remote server where data is sent to",
              StatusReport::Number);
  EXPECT_EQ(Report(collector),
            "Last updated at:3/7/2004 09:05:03\n"
            "Output\\Local\\Format(Format of log files):unknown\n"
            "Output\\Local\\MaxFileSize(Limit of individual file size):0\n"
            "Output\\Network\\Fallback(Fallback mode of network output):unknown\n"
            "Output\\Network\\RemoteServerPort(Port of remote server where data is sent to):0\n");

  size.SetNumber(102400);
  port.SetNumber(0xFFFFFFFFu);
  format.SetText("binary");
  fallback.reset();  // gone from the report at once
  Status again(collector, "Output\\Network\\Fallback", "Fallback mode of network output", StatusReport::Text);
  again.SetText("multi\nline\r");
  Status total(collector, "Totals\\Written", "Records written", StatusReport::Text, true, "0");
  EXPECT_EQ(Report(collector),
            "Last updated at:3/7/2004 09:05:03\n"
            "Output\\Local\\Format(Format of log files):binary\n"
            "Output\\Local\\MaxFileSize(Limit of individual file size):102400\n"
            "Output\\Network\\RemoteServerPort(Port of remote server where data is sent to):-1\n"
            "Output\\Network\\Fallback(Fallback mode of network output):multi line \n"
            "Totals\\Written(Records written):0\n");
}

TEST(StatusReport, ValuesKeepTheirTypeAndGrowAsNeeded) {
  Collector collector;
  Status text(collector, "T", "t", StatusReport::Text);
  Status number(collector, "N", "n", StatusReport::Number);
  EXPECT_THROW(text.SetNumber(1), std::logic_error);
  EXPECT_THROW(number.SetText("x"), std::logic_error);
  EXPECT_THROW(Status(collector, "X", "x", static_cast<StatusReport::ValueType>(2)), std::logic_error);
  std::string longText(5000, 'a');
  text.SetText(longText);
  EXPECT_EQ(text.GetText(), longText);
  text.SetText("");
  EXPECT_EQ(text.GetText(), "");
  number.SetNumber(7);
  EXPECT_EQ(number.GetNumber(), 7u);
  EXPECT_EQ(Report(collector), "Last updated at:3/7/2004 09:05:03\nT(t):\nN(n):7\n");
}

TEST(FileStatusReport, WritesTheStatusFileInTemp) {
  kivtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.TempDir());
  Collector collector;
  Status connections(collector, "Connections\\Local",
                     "Number of connections to the server from local process", StatusReport::Number);
  connections.SetNumber(3);
  FileStatusReport report(collector);
  EXPECT_EQ(report.Path(), sandbox.TempDir() + "KivServerStatus.txt");
  // A stale longer file is replaced whole.
  kivtest::WriteFile(report.Path(), std::string(4096, 'x'));
  report.Worker();
  std::string content = kivtest::ReadFile(report.Path());
  EXPECT_TRUE(
      std::regex_match(content, std::regex("Last updated at:\\d{1,2}/\\d{1,2}/\\d{4} \\d\\d:\\d\\d:\\d\\d\n"
                                           "Connections\\\\Local\\(Number of connections to the server "
                                           "from local process\\):3\n")))
      << content;
}

TEST(FileStatusReport, TimerRewritesTheFileAndRetriesAMissingDirectory) {
  kivtest::Sandbox sandbox;
  Collector collector;
  Status count(collector, "Connections\\Local", "Number of connections to the server from local process",
               StatusReport::Number);
  FileStatusReport report(collector);
  EXPECT_THROW(report.Worker(), std::runtime_error);  // no {temp} yet

  TimerClassMemberFunction<FileStatusReport> timer(report, FileStatusReport::kPeriodMs);
  std::filesystem::create_directories(sandbox.TempDir());
  auto shows = [&](const std::string& line) {
    return kivtest::FileExists(report.Path()) &&
           kivtest::ReadFile(report.Path()).find(line) != std::string::npos;
  };
  EXPECT_TRUE(kivtest::WaitFor([&] { return shows("from local process):0\n"); }));
  count.SetNumber(42);
  EXPECT_TRUE(kivtest::WaitFor([&] { return shows("from local process):42\n"); }));
}
