#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <regex>

#include "MultiFileStream/MultiFileStream.h"
#include "TestSupport/CutMapping.h"
#include "TestSupport/Sandbox.h"

namespace {

const std::string kBinaryNote = std::string(53, '-') + "\r\n" +
                                "NOTE: KIV 3.0 trace data is stored as binary format. \r\n" +
                                "Please type kivtool at command prompt for information\r\n" +
                                "about converting to text format.  \r\n" + std::string(53, '-') + "\r\n";

std::string TitleLine() {
  std::string line =
      "#Timestamp              #PID   #TID        #Module      #Label     #Client      #Message   ";
  line.append(127 - line.size(), ' ');
  return line + "\n";
}

std::string Block(size_t size, char fill) { return std::string(size, fill); }

struct LogDir {
  kivtest::Sandbox box;
  std::string dir = box.Dir() + "/logs/";
  LogDir() { mkdir(dir.c_str(), 0777); }
  std::vector<std::string> Files() const { return kivtest::ListDir(dir); }
  std::string Read(const std::string& name) const { return kivtest::ReadFile(dir + name); }
  void Touch(const std::string& name) const { kivtest::WriteFile(dir + name, kBinaryNote); }
};

KivBinaryMultiFileOutputStream Binary(const std::string& dir, bool preservation = false, uint32_t count = 10,
                                      uint32_t size = 100 * 1024, uint32_t pcount = 10,
                                      uint32_t psize = 100 * 1024) {
  return KivBinaryMultiFileOutputStream(dir, "kivlog-LOCAL", "txt", preservation, count, size, pcount, psize);
}

}  // namespace

TEST(LogFileHeaders, BinaryNoteAndTitleLineAreExact) {
  ASSERT_EQ(kBinaryNote.size(), 256u);
  EXPECT_EQ(KivBinaryFileOutputSupport::GetHeader(), kBinaryNote);
  EXPECT_EQ(KivTextFileOutputSupport::GetHeader(), TitleLine());
  EXPECT_EQ(KivTextFileOutputSupport::GetHeader().size(), 128u);
}

TEST(LogFileHeaders, FormatHeaderPadsShortTextWithBlanksAndLineFeed) {
  EXPECT_EQ(FormatHeader("abc", 8), "abc    \n");
  EXPECT_EQ(FormatHeader("12345678", 8), "12345678");
  EXPECT_EQ(FormatHeader("123456789", 8), "1234567\n");
}

TEST(LogFileHeaders, EveryFileOfEachKindStartsWithItsHeader) {
  LogDir logs;
  {
    auto out = Binary(logs.dir, false, 10, 10);
    KivTextMultiFileOutputStream text(logs.dir, "kivlog-TEXT", "txt", false, 10, 10, 10, 10);
    for (int i = 0; i < 3; ++i) {
      out.write(Block(20, 'b').data(), 20);
      text.write(Block(20, 't').data(), 20);
    }
  }
  int binaries = 0, texts = 0;
  for (const std::string& name : logs.Files()) {
    std::string content = logs.Read(name);
    if (name.starts_with("kivlog-LOCAL")) {
      ++binaries;
      EXPECT_EQ(content, kBinaryNote + Block(20, 'b')) << name;
    } else {
      ++texts;
      EXPECT_EQ(content, TitleLine() + Block(20, 't')) << name;
    }
  }
  EXPECT_EQ(binaries, 3);
  EXPECT_EQ(texts, 3);
}

TEST(LogFileNaming, NormalAndPreservationFormats) {
  const char* oldTz = getenv("TZ");
  std::string saved = oldTz ? oldTz : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  timespec when{1072915198, 123456789};  // 2003-12-31 23:59:58.123 UTC
  EXPECT_EQ(LogFileNames::Format(false, "/var/log/", "kivlog-LOCAL", "txt", when),
            "/var/log/kivlog-LOCAL-20031231-23h59m58.123s.txt");
  EXPECT_EQ(LogFileNames::Format(true, "/var/log/", "kivlog-LOCAL", "txt", when),
            "/var/log/kivlog-LOCAL-20031231-23h59m58.123s_p.txt");
  timespec early{1075683661, 7000000};  // 2004-02-02 01:01:01.007
  EXPECT_EQ(LogFileNames::Format(false, "", "p", "x", early), "p-20040202-01h01m01.007s.x");
  if (oldTz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(LogFileNaming, DirectoryIsNormalisedToOneSlash) {
  EXPECT_EQ(LogFileNames::NormaliseDirectory("/a/b\\"), "/a/b/");
  EXPECT_EQ(LogFileNames::NormaliseDirectory("/a/b/"), "/a/b/");
  EXPECT_EQ(LogFileNames::NormaliseDirectory("/a/b"), "/a/b/");
  LogDir logs;
  std::string withBackslash = logs.dir.substr(0, logs.dir.size() - 1) + "\\";
  auto out = Binary(withBackslash);
  out.write("x", 1);
  EXPECT_EQ(out.Directory(), logs.dir);
  ASSERT_EQ(logs.Files().size(), 1u);
}

TEST(LogFileNaming, CreatedFilesCarryTheModeInTheirNames) {
  LogDir logs;
  std::string normal, preserved;
  {
    auto out = Binary(logs.dir);
    out.write("x", 1);
    normal = out.CurrentFileName();
  }
  {
    auto out = Binary(logs.dir, true);
    out.write("x", 1);
    preserved = out.CurrentFileName();
  }
  std::regex normalName(".*/kivlog-LOCAL-\\d{8}-\\d\\dh\\d\\dm\\d\\d\\.\\d{3}s\\.txt");
  std::regex preservedName(".*/kivlog-LOCAL-\\d{8}-\\d\\dh\\d\\dm\\d\\d\\.\\d{3}s_p\\.txt");
  EXPECT_TRUE(std::regex_match(normal, normalName)) << normal;
  EXPECT_TRUE(std::regex_match(preserved, preservedName)) << preserved;
}

TEST(Rotation, HundredKiBLimitWithSixtyFourKiBBlocksHoldsTwoBlocksPerFile) {
  LogDir logs;
  {
    auto out = Binary(logs.dir, false, 10, 100 * 1024);
    for (char c = 'a'; c < 'f'; ++c) out.write(Block(64 * 1024, c).data(), 64 * 1024);
  }
  auto files = logs.Files();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(logs.Read(files[0]), kBinaryNote + Block(65536, 'a') + Block(65536, 'b'));
  EXPECT_EQ(logs.Read(files[1]), kBinaryNote + Block(65536, 'c') + Block(65536, 'd'));
  EXPECT_EQ(logs.Read(files[2]), kBinaryNote + Block(65536, 'e'));
}

TEST(Rotation, PreservationModeUsesItsOwnSizeLimit) {
  LogDir logs;
  {
    auto out = Binary(logs.dir, true, 10, 1, 10, 250);
    for (int i = 0; i < 4; ++i) out.write(Block(100, 'p').data(), 100);
  }
  auto files = logs.Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(logs.Read(files[0]).size(), 256u + 300);
  EXPECT_EQ(logs.Read(files[1]).size(), 256u + 100);
}

TEST(Rotation, SwitchesWithinOneMillisecondNeverShareAFile) {
  LogDir logs;
  {
    auto out = Binary(logs.dir, false, 100, 1);
    for (int i = 0; i < 30; ++i) out.write(Block(10, char('A' + i)).data(), 10);
  }
  auto files = logs.Files();
  ASSERT_EQ(files.size(), 30u);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(logs.Read(files[i]), kBinaryNote + Block(10, char('A' + i))) << files[i];
  }
}

TEST(Pruning, ElevenNormalFilesLoseExactlyTheOldestAndPreservedStay) {
  LogDir logs;
  for (int day = 10; day < 20; ++day)
    logs.Touch("kivlog-LOCAL-200101" + std::to_string(day) + "-00h00m00.000s.txt");
  logs.Touch("kivlog-LOCAL-20000101-00h00m00.000s_p.txt");
  logs.Touch("kivlog-LOCAL-20000102-00h00m00.000s_p.txt");
  logs.Touch("other-20000101-00h00m00.000s.txt");
  {
    auto out = Binary(logs.dir, false, 10, 1000, 10, 1000);
    out.write("x", 1);
  }
  auto files = logs.Files();
  EXPECT_EQ(files.size(), 13u);
  EXPECT_FALSE(kivtest::FileExists(logs.dir + "kivlog-LOCAL-20010110-00h00m00.000s.txt"));
  EXPECT_TRUE(kivtest::FileExists(logs.dir + "kivlog-LOCAL-20010111-00h00m00.000s.txt"));
  EXPECT_TRUE(kivtest::FileExists(logs.dir + "kivlog-LOCAL-20000101-00h00m00.000s_p.txt"));
  EXPECT_TRUE(kivtest::FileExists(logs.dir + "kivlog-LOCAL-20000102-00h00m00.000s_p.txt"));
  EXPECT_TRUE(kivtest::FileExists(logs.dir + "other-20000101-00h00m00.000s.txt"));
}

TEST(Pruning, PreservedFilesCountAgainstThePreservationLimitAtEverySwitch) {
  LogDir logs;
  logs.Touch("kivlog-LOCAL-20000101-00h00m00.000s_p.txt");
  logs.Touch("kivlog-LOCAL-20000102-00h00m00.000s_p.txt");
  logs.Touch("kivlog-LOCAL-20000103-00h00m00.000s.txt");
  std::string current;
  {
    auto out = Binary(logs.dir, true, 1, 1000, 2, 1000);
    out.write("x", 1);
    current = out.CurrentFileName();
  }
  EXPECT_FALSE(kivtest::FileExists(logs.dir + "kivlog-LOCAL-20000101-00h00m00.000s_p.txt"));
  EXPECT_TRUE(kivtest::FileExists(logs.dir + "kivlog-LOCAL-20000102-00h00m00.000s_p.txt"));
  EXPECT_TRUE(kivtest::FileExists(logs.dir + "kivlog-LOCAL-20000103-00h00m00.000s.txt"));
  EXPECT_TRUE(kivtest::FileExists(current));
}

TEST(Pruning, DirectoryNamedWithUnderscorePMakesEveryFilePreserved) {
  kivtest::Sandbox box;
  std::string dir = box.Dir() + "/logs_p/";
  mkdir(dir.c_str(), 0777);
  for (int day = 1; day <= 3; ++day)
    kivtest::WriteFile(dir + "kivlog-LOCAL-2000010" + std::to_string(day) + "-00h00m00.000s.txt", "");
  {
    auto out = Binary(dir, false, 1, 1000, 3, 1000);
    out.write("x", 1);
  }
  // The normal limit of 1 would leave one file; all four count as preserved.
  auto files = kivtest::ListDir(dir);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0], "kivlog-LOCAL-20000102-00h00m00.000s.txt");
}

TEST(Pruning, ListingSplitsAndSortsOldestFirst) {
  LogDir logs;
  logs.Touch("kivlog-LOCAL-20020101-00h00m00.000s.txt");
  logs.Touch("kivlog-LOCAL-20010101-00h00m00.000s_p.txt");
  logs.Touch("kivlog-LOCAL-20000101-00h00m00.000s.txt");
  logs.Touch("kivlog-OTHER-19990101-00h00m00.000s.txt");
  auto listing = LogFileNames::GetAllLogFiles(logs.dir, "kivlog-LOCAL", "txt");
  ASSERT_EQ(listing.normal.size(), 2u);
  EXPECT_EQ(listing.normal[0], logs.dir + "kivlog-LOCAL-20000101-00h00m00.000s.txt");
  EXPECT_EQ(listing.normal[1], logs.dir + "kivlog-LOCAL-20020101-00h00m00.000s.txt");
  ASSERT_EQ(listing.preserved.size(), 1u);
}

TEST(OpenFailure, MissingDirectoryDropsBlocksUntilItAppears) {
  kivtest::Sandbox box;
  std::string dir = box.Dir() + "/later/";
  auto out = Binary(dir);
  out.write("lost", 4);
  EXPECT_FALSE(out.IsOpen());
  out.write("lost", 4);
  EXPECT_FALSE(out.IsOpen());
  ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
  out.write("kept", 4);
  ASSERT_TRUE(out.IsOpen());
  auto files = kivtest::ListDir(dir);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(kivtest::ReadFile(dir + files[0]), kBinaryNote + "kept");
}

// A file size limit stands in for a full disk: writes beyond it are cut
// short. `body` runs in a child process under a limit of `bytes` and returns
// whether it saw what it expected.
bool UnderFileSizeLimit(rlim_t bytes, const std::function<bool()>& body) {
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ShortWrite, CutBlockIsRemovedAndWritingResumesWhenThereIsRoom) {
  LogDir logs;
  EXPECT_TRUE(UnderFileSizeLimit(256 + 1000 + 500, [&] {
    auto out = Binary(logs.dir, false, 10, 1 << 20);
    out.write(Block(1000, '1').data(), 1000);
    out.write(Block(1000, '2').data(), 1000);  // does not fit: must vanish whole
    out.write(Block(400, '3').data(), 400);
    return out.Written() == 1400;
  }));
  auto files = logs.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(logs.Read(files[0]), kBinaryNote + Block(1000, '1') + Block(400, '3'));
}

TEST(ShortWrite, FileWithoutRoomForItsHeaderIsNotLeftBehind) {
  LogDir logs;
  EXPECT_TRUE(UnderFileSizeLimit(100, [&] {
    auto out = Binary(logs.dir);
    out.write("x", 1);
    return !out.IsOpen();
  }));
  EXPECT_TRUE(logs.Files().empty());
}

TEST(ShortWrite, GatheredBlockWithAPieceCutFromItsMappingIsRemovedWhole) {
  LogDir logs;
  auto out = Binary(logs.dir, false, 10, 1 << 20);
  kivtest::CutMapping ring(logs.box.Dir() + "/ring");
  ASSERT_TRUE(ring.Ok());
  const size_t page = ring.PageSize();
  char* map = ring.Readable();
  char head[] = "head";

  // The readable page is written before the cut one fails the call.
  const iovec cut[] = {{head, 4}, {map, page}, {ring.Cut(), 10}};
  out.WriteGathered(cut, 3);
  EXPECT_FALSE(out.LastWriteLanded());
  EXPECT_TRUE(out.LastWriteFaulted());
  // Pieces of a wrapped ring: its end, then its start.
  const iovec wrapped[] = {{head, 4}, {map + page - 60, 60}, {map, 100}};
  out.WriteGathered(wrapped, 3);
  EXPECT_TRUE(out.LastWriteLanded());
  EXPECT_FALSE(out.LastWriteFaulted());
  auto files = logs.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(logs.Read(files[0]),
            kBinaryNote + "head" + std::string(map + page - 60, 60) + std::string(map, 100));
}
