#include <gtest/gtest.h>
#include <sys/stat.h>

#include "MultiFileStream/MultiFileStream.h"
#include "TestSupport/Sandbox.h"

namespace {

struct InputDir {
  kivtest::Sandbox box;
  std::string dir = box.Dir() + "/logs/";
  InputDir() { mkdir(dir.c_str(), 0777); }
  void Log(const std::string& name, const std::string& data) const {
    kivtest::WriteFile(dir + name, KivBinaryFileOutputSupport::GetHeader() + data);
  }
  void Raw(const std::string& name, const std::string& content) const {
    kivtest::WriteFile(dir + name, content);
  }
};

std::string Read(KivBinaryMultiFileInputStream& in, uint32_t length) {
  std::string out(length, '\0');
  in.read(out.data(), length);
  return out;
}

}  // namespace

TEST(MultiFileInput, ReadsFilesInNameOrderSkippingHeaders) {
  InputDir logs;
  logs.Log("kivlog-B.txt", "bbbb");
  logs.Log("kivlog-A.txt", "aaaa");
  logs.Log("kivlog-C.txt", "");
  KivBinaryMultiFileInputStream in;
  EXPECT_EQ(in.GetAllLogFiles(logs.dir, "kivlog-", "txt", "binary"), 3u);
  EXPECT_EQ(in.GetTotalLength(), 8u);
  EXPECT_EQ(Read(in, 2), "aa");
  EXPECT_EQ(Read(in, 2), "aa");
  EXPECT_EQ(in.GetDataLength(), 4u);
  EXPECT_EQ(Read(in, 4), "bbbb");
  EXPECT_EQ(in.GetReadPosition(), 8u);
  EXPECT_EQ(in.GetDataLength(), 0u);
  EXPECT_EQ(in.LastFileRead(), logs.dir + "kivlog-B.txt");
  EXPECT_THROW(Read(in, 1), std::logic_error);
}

TEST(MultiFileInput, ShortAndForeignFilesAreSkippedForBinaryKind) {
  InputDir logs;
  logs.Raw("kivlog-1short.txt", std::string(100, 'x'));
  logs.Raw("kivlog-2foreign.txt", std::string(300, 'y'));
  logs.Log("kivlog-3good.txt", "data");
  KivBinaryMultiFileInputStream binary;
  EXPECT_EQ(binary.GetAllLogFiles(logs.dir, "kivlog-", "txt", "binary"), 1u);
  EXPECT_EQ(binary.GetTotalLength(), 4u);
  EXPECT_EQ(Read(binary, 4), "data");

  // Any other kind keeps a foreign file whole; a too small one never counts.
  KivBinaryMultiFileInputStream any;
  EXPECT_EQ(any.GetAllLogFiles(logs.dir, "kivlog-", "txt", "text"), 2u);
  EXPECT_EQ(any.GetTotalLength(), 304u);
  EXPECT_EQ(Read(any, 300), std::string(300, 'y'));
}

TEST(MultiFileInput, MissingDirectoryGivesAnEmptyInput) {
  kivtest::Sandbox box;
  KivBinaryMultiFileInputStream in;
  EXPECT_EQ(in.GetAllLogFiles(box.Dir() + "/none", "kivlog-", "txt", "binary"), 0u);
  EXPECT_EQ(in.GetTotalLength(), 0u);
  EXPECT_THROW(Read(in, 1), std::logic_error);
}

TEST(MultiFileInput, ReadsNeverStraddleAFileBoundary) {
  InputDir logs;
  logs.Log("kivlog-A.txt", "12345");  // a 4-byte unit and a cut-off one
  logs.Log("kivlog-B.txt", "abcd");
  KivBinaryMultiFileInputStream in;
  in.GetAllLogFiles(logs.dir, "kivlog-", "txt", "binary");
  EXPECT_EQ(Read(in, 4), "1234");
  EXPECT_EQ(in.GetDataLength(), 5u);
  EXPECT_EQ(in.LastFileRead(), logs.dir + "kivlog-A.txt");
  try {
    Read(in, 4);
    FAIL() << "a read running past the end of a file must fail";
  } catch (const std::logic_error& e) {
    EXPECT_NE(std::string(e.what()).find("kivlog-A.txt"), std::string::npos) << e.what();
  }
  EXPECT_EQ(in.GetReadPosition(), 4u);
}

TEST(MultiFileInput, NullBufferAndZeroLength) {
  InputDir logs;
  logs.Log("kivlog-A.txt", "x");
  KivBinaryMultiFileInputStream in;
  in.GetAllLogFiles(logs.dir, "kivlog-", "txt", "binary");
  EXPECT_THROW(in.read(nullptr, 1), std::exception);
  char c = 0;
  in.read(&c, 0);
  EXPECT_EQ(in.GetReadPosition(), 0u);
  in.read(&c, 1);
  EXPECT_EQ(c, 'x');
}

TEST(MultiFileInput, FileThatShrinksWhileReadIsAFailureNotAHang) {
  InputDir logs;
  logs.Log("kivlog-A.txt", std::string(1000, 'z'));
  KivBinaryMultiFileInputStream in;
  in.GetAllLogFiles(logs.dir, "kivlog-", "txt", "binary");
  ASSERT_EQ(truncate((logs.dir + "kivlog-A.txt").c_str(), 256 + 10), 0);
  EXPECT_EQ(Read(in, 10), std::string(10, 'z'));
  EXPECT_THROW(Read(in, 10), std::runtime_error);
}

TEST(FileToBeRead, HeaderCheck) {
  InputDir logs;
  logs.Log("a", "xyz");
  FileToBeRead matched(logs.dir + "a", KivBinaryFileOutputSupport::GetHeader(), 256);
  EXPECT_TRUE(matched.HeaderMatched());
  EXPECT_EQ(matched.DataLength(), 3u);
  logs.Raw("b", std::string(256, '-') + "xyz");
  FileToBeRead foreign(logs.dir + "b", KivBinaryFileOutputSupport::GetHeader(), 256);
  EXPECT_FALSE(foreign.HeaderMatched());
  EXPECT_EQ(foreign.DataLength(), 259u);
  EXPECT_THROW(FileToBeRead(logs.dir + "missing", "", 256), std::runtime_error);
  logs.Raw("c", "tiny");
  EXPECT_THROW(FileToBeRead(logs.dir + "c", "", 256), std::logic_error);
}
