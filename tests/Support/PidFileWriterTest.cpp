#include "Support/PidFileWriter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "TestSupport/Sandbox.h"

TEST(PidFileWriter, ReadersNeverSeeAPartialId) {
  kivtest::Sandbox sandbox;
  const std::string path = sandbox.Dir() + "/Service.pid";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Publish and withdraw as fast as possible while the parent reads.
    for (;;) {
      if (PidFileWriter::Publish(path, 0644) != PidFileWriter::Published) _exit(3);
      unlink(path.c_str());
    }
  }
  const std::string expected = std::to_string(child) + "\n";
  int seen = 0, partial = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen < 2000 && partial == 0 && std::chrono::steady_clock::now() < end) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) continue;  // withdrawn at the moment
    char text[32];
    ssize_t n = read(fd, text, sizeof text);
    close(fd);
    ++seen;
    if (n < 0 || std::string(text, static_cast<size_t>(n)) != expected) ++partial;
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(partial, 0);
  EXPECT_GT(seen, 0);
}

TEST(PidFileWriter, WritesTheIdWithTheModeAndLeavesNoStagingFile) {
  kivtest::Sandbox sandbox;
  const std::string path = sandbox.Dir() + "/Service.pid";
  ASSERT_EQ(PidFileWriter::Publish(path, 0600), PidFileWriter::Published);
  EXPECT_EQ(kivtest::ReadFile(path), std::to_string(getpid()) + "\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(kivtest::ListDir(sandbox.Dir()), std::vector<std::string>{"Service.pid"});

  EXPECT_EQ(PidFileWriter::Publish(sandbox.Dir() + "/missing/Service.pid", 0600), PidFileWriter::OpenFailed);
}
