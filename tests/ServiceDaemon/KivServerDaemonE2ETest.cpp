// Runs the real kivserver binary: daemon start and stop, the command line,
// console mode, and a second dispatcher next to a running one.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "ServiceDaemon/KivServerCommands.h"
#include "ServiceDaemon/KivServiceDaemon.h"
#include "TestSupport/Sandbox.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {
const std::string kLsbPidFile = "/var/run/KivServer.pid";

// True when `pid` has ended (gone, or a zombie nobody reaped yet).
bool ProcessGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string line;
  std::getline(stat, line);
  size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

pid_t ReadPid(const std::string& file) {
  std::string text = kivtest::ReadFile(file);
  return text.empty() ? 0 : static_cast<pid_t>(std::stol(text));
}

// Name -> (inode, content) of every file in a directory.
std::map<std::string, std::pair<ino_t, std::string>> Snapshot(const std::string& dir) {
  std::map<std::string, std::pair<ino_t, std::string>> files;
  for (const auto& name : kivtest::ListDir(dir)) {
    // The running dispatcher rewrites its status file every second.
    if (name == "KivServerStatus.txt") continue;
    struct stat st {};
    stat((dir + name).c_str(), &st);
    files[name] = {st.st_ino, kivtest::ReadFile(dir + name)};
  }
  return files;
}

// `kivserver console` with standard input from a pipe we keep (or close).
struct Console {
  pid_t pid = -1;
  int input = -1;
  std::string outFile;

  explicit Console(const std::string& dir) : outFile(dir + "/console.out") {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    std::string path = kivtest::BinPath("kivserver");
    pid = fork();
    if (pid == 0) {
      dup2(fds[0], 0);
      int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      for (int fd : {fds[0], fds[1], out}) close(fd);
      execl(path.c_str(), path.c_str(), "console", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[0]);
    input = fds[1];
  }
  ~Console() {
    CloseInput();
    if (pid > 0 && !Exited()) {
      kill(pid, SIGKILL);
      Wait();
    }
  }
  void CloseInput() {
    if (input >= 0) close(input);
    input = -1;
  }
  bool Exited() {
    if (pid <= 0) return true;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid = -1;
      return true;
    }
    return false;
  }
  int Wait() {
    kivtest::WaitFor([&] { return Exited(); }, std::chrono::seconds(20));
    return exitCode;
  }
  int exitCode = -1;
};

class KivServerE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string temp = sandbox.TempDir();
  std::string lockFile = temp + "KivDispatcher.lck";
  std::string pidFile = temp + "KivDispatcher.pid";

  void TearDown() override {
    // Never leave a daemon behind, whatever the test did.
    pid_t holder = KivDaemon::LockHolder(lockFile);
    if (holder > 0) {
      kill(holder, SIGKILL);
      kivtest::WaitFor([&] { return ProcessGone(holder); });
    }
  }

  // Starts the daemon and waits until it runs; returns its pid.
  pid_t StartDaemon(const std::vector<std::string>& args = {"start"}) {
    auto r = kivtest::Run("kivserver", args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, " Service is starting.......  \n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(kivtest::WaitFor([&] {
      return KivDaemon::LockHolder(lockFile) > 0 && kivtest::FileExists(temp + "KivService.pid") &&
             ReadPid(pidFile) == KivDaemon::LockHolder(lockFile);
    }));
    return ReadPid(pidFile);
  }

  void ExpectStoppedAndClean(pid_t pid) {
    EXPECT_TRUE(kivtest::WaitFor([&] { return ProcessGone(pid); }));
    EXPECT_TRUE(kivtest::WaitFor([&] { return !kivtest::FileExists(lockFile); }));
    EXPECT_FALSE(kivtest::FileExists(pidFile));
    EXPECT_FALSE(kivtest::FileExists(temp + "KivService.pid"));
    EXPECT_FALSE(kivtest::FileExists(temp + "KivService.lck"));
    if (kivtest::FileExists(kLsbPidFile)) {
      EXPECT_NE(ReadPid(kLsbPidFile), pid);
    }
  }
};
}  // namespace

TEST_F(KivServerE2E, CommandLineErrors) {
  auto none = kivtest::Run("kivserver", {});
  EXPECT_EQ(none.exitCode, 255);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "");

  auto unknown = kivtest::Run("kivserver", {"restart"});
  EXPECT_EQ(unknown.exitCode, 255);
  EXPECT_EQ(unknown.out, "Invalid command\n");
  EXPECT_EQ(unknown.err, std::string(KivServerHelpText) + "\n");
  EXPECT_THAT(unknown.err, StartsWith("\n --- kivserver Help Message ---- \t\t\t\t\n"));

  auto badOption = kivtest::Run("kivserver", {"start", "x"});
  EXPECT_EQ(badOption.exitCode, 255);
  EXPECT_EQ(badOption.out, "Incorrect option syntax\n");
  EXPECT_FALSE(kivtest::FileExists(temp));
}

TEST_F(KivServerE2E, StartTwiceThenStopRemovesEverything) {
  pid_t pid = StartDaemon({"start", "-x"});  // options are parsed and ignored
  EXPECT_EQ(kivtest::ReadFile(pidFile), std::to_string(pid) + "\n");
  EXPECT_EQ(kivtest::ReadFile(kLsbPidFile), std::to_string(pid) + "\n");
  EXPECT_EQ(ReadPid(temp + "KivService.pid"), pid);
  EXPECT_EQ(getsid(pid), pid) << "the daemon leads a session of its own";

  auto before = Snapshot(temp);
  auto second = kivtest::Run("kivserver", {"START"});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.err, "Service is already Started or Service Failed to Start \n");
  EXPECT_EQ(Snapshot(temp), before);
  EXPECT_FALSE(ProcessGone(pid));

  auto stop = kivtest::Run("kivserver", {"Stop"});
  EXPECT_EQ(stop.exitCode, 0);
  EXPECT_EQ(stop.err, "Service stopped successfully");
  ExpectStoppedAndClean(pid);
  EXPECT_FALSE(kivtest::FileExists(kLsbPidFile));

  auto again = kivtest::Run("kivserver", {"stop"});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.err, "Service already Stopped or Can not stop");
}

TEST_F(KivServerE2E, StartAfterKillNineRecreatesTempAndSucceeds) {
  pid_t first = StartDaemon();
  kivtest::WriteFile(temp + "leftover.map", "stale");
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(kivtest::WaitFor([&] { return ProcessGone(first); }));
  EXPECT_TRUE(kivtest::FileExists(lockFile));  // stale, but nobody holds it
  EXPECT_TRUE(kivtest::FileExists(pidFile));

  pid_t second = StartDaemon();
  EXPECT_NE(second, first);
  EXPECT_FALSE(kivtest::FileExists(temp + "leftover.map"));
  EXPECT_EQ(ReadPid(kLsbPidFile), second);
  EXPECT_EQ(kivtest::Run("kivserver", {"stop"}).err, "Service stopped successfully");
  ExpectStoppedAndClean(second);
}

TEST_F(KivServerE2E, StopFallsBackToTheLsbPidFileAndSigtermAlsoStops) {
  pid_t pid = StartDaemon();
  ASSERT_EQ(unlink(pidFile.c_str()), 0);
  EXPECT_EQ(kivtest::Run("kivserver", {"stop"}).err, "Service stopped successfully");
  ExpectStoppedAndClean(pid);

  pid = StartDaemon();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  ExpectStoppedAndClean(pid);
  EXPECT_FALSE(kivtest::FileExists(kLsbPidFile));
}

TEST_F(KivServerE2E, DiagnosticModeLogsWithTheServerPrefix) {
  auto r = kivtest::Run("kivserver", {"start"}, "", {"DIAGNOSTIC_MODE=1"});
  ASSERT_EQ(r.exitCode, 0);
  ASSERT_TRUE(kivtest::WaitFor([&] { return KivDaemon::LockHolder(lockFile) > 0; }));
  pid_t pid = KivDaemon::LockHolder(lockFile);
  // Written after the lock is taken and {temp} emptied: waited for.
  EXPECT_TRUE(kivtest::WaitFor([&] {
    return kivtest::ReadFile(temp + "trace.txt")
               .find(" KIVSERVER: Lock file can be locked, service did not start yet\n") != std::string::npos;
  }));
  kivtest::Run("kivserver", {"stop"});
  ExpectStoppedAndClean(pid);
}

TEST_F(KivServerE2E, ConsoleWithPipedInputEndsOnSigtermAndOnAKey) {
  {
    Console console(sandbox.Dir());
    ASSERT_TRUE(kivtest::WaitFor([&] { return ReadPid(temp + "KivService.pid") == console.pid; }));
    EXPECT_FALSE(kivtest::FileExists(lockFile)) << "console mode takes no daemon lock";
    kill(console.pid, SIGTERM);
    EXPECT_EQ(console.Wait(), 0);
    EXPECT_FALSE(kivtest::FileExists(temp + "KivService.pid"));
    EXPECT_FALSE(kivtest::FileExists(temp + "KivService.lck"));
  }
  {
    Console console(sandbox.Dir());
    ASSERT_TRUE(kivtest::WaitFor([&] { return ReadPid(temp + "KivService.pid") == console.pid; }));
    ASSERT_EQ(write(console.input, "k", 1), 1);
    EXPECT_EQ(console.Wait(), 0);
    EXPECT_FALSE(kivtest::FileExists(temp + "KivService.pid"));
  }
}

TEST_F(KivServerE2E, ConsoleAtEndOfInputRunsUntilInterrupted) {
  Console console(sandbox.Dir());
  console.CloseInput();
  ASSERT_TRUE(kivtest::WaitFor([&] { return ReadPid(temp + "KivService.pid") == console.pid; }));
  // End of input is not a key press: still running after a full poll period.
  usleep(1500 * 1000);
  EXPECT_FALSE(console.Exited());
  kill(console.pid, SIGINT);
  EXPECT_EQ(console.Wait(), 0);
  EXPECT_FALSE(kivtest::FileExists(temp + "KivService.pid"));
}

TEST_F(KivServerE2E, SecondDispatcherNextToARunningOneTouchesNothing) {
  pid_t daemon = StartDaemon();
  auto before = Snapshot(temp);
  auto console = kivtest::Run("kivserver", {"console"});
  EXPECT_EQ(console.exitCode, 255);
  EXPECT_THAT(console.out, StartsWith("Fail to lock the file"));
  EXPECT_EQ(Snapshot(temp), before);
  kivtest::Run("kivserver", {"stop"});
  ExpectStoppedAndClean(daemon);

  Console running(sandbox.Dir());
  ASSERT_TRUE(kivtest::WaitFor([&] { return ReadPid(temp + "KivService.pid") == running.pid; }));
  auto consoleFiles = Snapshot(temp);
  auto start = kivtest::Run("kivserver", {"start"});
  EXPECT_EQ(start.exitCode, 0);
  EXPECT_EQ(start.err, "Service is already Started or Service Failed to Start \n");
  EXPECT_EQ(Snapshot(temp), consoleFiles);
  EXPECT_FALSE(running.Exited());
  kill(running.pid, SIGTERM);
  EXPECT_EQ(running.Wait(), 0);
}

TEST_F(KivServerE2E, StartAndStopExitNonZeroWithTheReasonWhenTheyCouldNotAct) {
  // A process that is no dispatcher sits on the daemon lock, and the PID
  // file names a bystander: nothing may start, and nobody may be signalled.
  ASSERT_EQ(system(("mkdir -p '" + temp + "'").c_str()), 0);
  int lock = open(lockFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(lockf(lock, F_TLOCK, 1), 0);
  pid_t bystander = fork();
  if (bystander == 0) {
    pause();
    _exit(0);
  }
  kivtest::WriteFile(pidFile, std::to_string(bystander) + "\n");

  auto start = kivtest::Run("kivserver", {"start"});
  EXPECT_EQ(start.exitCode, 1);
  EXPECT_EQ(start.err, "Service is already Started or Service Failed to Start \nLock file " + lockFile +
                           " is held by process " + std::to_string(getpid()) +
                           ", which is not the dispatcher recorded in " + pidFile + "\n");
  auto stop = kivtest::Run("kivserver", {"stop"});
  EXPECT_EQ(stop.exitCode, 1);
  EXPECT_THAT(stop.err, StartsWith("Service already Stopped or Can not stop\nLock file " + lockFile));
  EXPECT_FALSE(ProcessGone(bystander));
  kill(bystander, SIGKILL);
  waitpid(bystander, nullptr, 0);
  close(lock);  // before TearDown, which ends any holder of the lock

  // An installation directory that is a file: the daemon child cannot make
  // {temp}, and its reason reaches the starter.
  const std::string notADirectory = sandbox.Dir() + "/plain-file";
  kivtest::WriteFile(notADirectory, "");
  setenv("OLVAN_VORNEL_DIR", notADirectory.c_str(), 1);
  auto unusable = kivtest::Run("kivserver", {"start"});
  setenv("OLVAN_VORNEL_DIR", sandbox.Dir().c_str(), 1);
  EXPECT_EQ(unusable.exitCode, 1);
  EXPECT_THAT(unusable.err, StartsWith("Service is already Started or Service Failed to Start \n"));
  EXPECT_THAT(unusable.err, HasSubstr("Can not create temp folder: " + notADirectory + "/temp/"));
  EXPECT_THAT(unusable.err, HasSubstr("Not a directory"));

  // A user who may not write the LSB PID file: the child fails after taking
  // the lock, cleans up, and the starter says which file and why.
  if (getuid() != 0) GTEST_SKIP() << "needs root to start kivserver under another user id";
  std::filesystem::remove_all(sandbox.Dir() + "/temp");  // root's lock and PID files of the first case
  ASSERT_EQ(chmod(sandbox.Dir().c_str(), 0777), 0);
  const std::string asUser =
      "setpriv --reuid 4242 --regid 4242 --clear-groups " + kivtest::BinPath("kivserver") + " start 2>&1";
  FILE* pipe = popen(asUser.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
  EXPECT_THAT(output, HasSubstr("PID file " + kLsbPidFile + ": Error Open pid file"));
  EXPECT_THAT(output, HasSubstr("Permission denied"));
  EXPECT_FALSE(kivtest::FileExists(pidFile));
  EXPECT_FALSE(kivtest::FileExists(lockFile));
}
