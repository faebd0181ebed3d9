#include "TraceData/SyslogRecord.h"

#include <gtest/gtest.h>

namespace {

DecodedRecord Sample() {
  DecodedRecord r;
  r.m_Host = "own host";
  r.m_SequenceNumber = 17;
  r.m_ProcessId = 4711;
  r.m_ThreadId = 99;
  r.m_HasTimestamp = true;
  r.m_Timestamp.m_Seconds = 1796764391;  // 2026-12-08T21:13:11Z
  r.m_Timestamp.m_Milliseconds = 42;
  r.m_Module = "mo\"d]\\";
  r.m_Label = "Warning";
  r.m_Client = std::string("c\xC3\xA9\xFF", 4);
  r.m_Message = "hello\nworld";
  return r;
}

// The frame's length prefix must count the message's bytes exactly.
std::string Unframed(const std::string& framed) {
  size_t space = framed.find(' ');
  EXPECT_NE(space, std::string::npos);
  std::string message = framed.substr(space + 1);
  EXPECT_EQ(std::stoul(framed.substr(0, space)), message.size());
  return message;
}

}  // namespace

TEST(SyslogRecord, FramedMessageCarriesHeaderAndEscapedStructuredData) {
  std::string out;
  AppendSyslogRecord(out, Sample(), {"kiv", "kiv@32473", ""});
  EXPECT_EQ(Unframed(out),
            "<12>1 2026-12-08T21:13:11.042Z own_host kiv 4711 Warning [kiv@32473 seq=\"17\" tid=\"99\" "
            "module=\"mo\\\"d\\]\\\\\" label=\"Warning\" client=\"c\xC3\xA9\xEF\xBF\xBD\"] hello\nworld");

  // The origin given replaces the record's host; empty fields are "-".
  DecodedRecord bare;
  out.clear();
  AppendSyslogRecord(out, bare, {"app", "id@1", "127.0.0.2"});
  EXPECT_EQ(Unframed(out),
            "<14>1 - 127.0.0.2 app - - [id@1 seq=\"0\" tid=\"0\" module=\"\" label=\"\" client=\"\"]");

  // Long and odd labels are cut and cleaned in MSGID only.
  DecodedRecord odd = Sample();
  odd.m_Label = std::string(40, 'x') + " y";
  out.clear();
  AppendSyslogRecord(out, odd, {"kiv", "kiv@32473", ""});
  EXPECT_NE(out.find(" 4711 " + std::string(32, 'x') + " ["), std::string::npos) << out;
  EXPECT_NE(out.find("label=\"" + odd.m_Label + "\""), std::string::npos);
}

TEST(SyslogRecord, SeverityFromLevelWordsAndControlRecords) {
  EXPECT_EQ(SyslogSeverity("Error"), 3);
  EXPECT_EQ(SyslogSeverity("WARNING"), 4);
  EXPECT_EQ(SyslogSeverity("debug"), 7);
  EXPECT_EQ(SyslogSeverity("Errors"), 6);
  EXPECT_EQ(SyslogSeverity(""), 6);

  DecodedRecord control = Sample();
  control.m_IsControl = true;
  control.m_Control.m_Code = 12345;
  control.m_Message.clear();
  std::string out;
  AppendSyslogRecord(out, control, {"kiv", "kiv@32473", ""});
  std::string message = Unframed(out);
  EXPECT_EQ(message.rfind("<14>1 ", 0), 0u) << message;
  EXPECT_NE(message.find(" 4711 control ["), std::string::npos) << message;
  EXPECT_NE(message.find(" control=\"unknown\"] Unknown control message:12345"), std::string::npos)
      << message;
}
