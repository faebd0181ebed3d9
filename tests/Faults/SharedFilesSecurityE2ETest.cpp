// Other local users against the real dispatcher (run as root): the group that
// owns the installation directory may trace, nobody else gets in; links and
// files planted in a world-writable {temp} are never followed or used; a
// member truncating shared files, holding the message lock or forging an
// un-registration stops neither the dispatcher nor another client.
// Users are plain ids (no accounts): forked children change their ids
// (as setpriv would) before they run the library or a program.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "FaultSupport.h"
#include "KivService/KivServerLogReader.h"
#include "KivService/KivServiceTestSupport.h"
#include "MemoryStream/CircularMemoryInputStream.h"
#include "Support/FirstByteLock.h"
#include "Support/SharedMemory.h"
#include "TestSupport/ProtocolClient.h"

namespace {

constexpr gid_t kGroup = 4242;
constexpr uid_t kMember = 5001, kOtherMember = 5003, kStranger = 5002;
const char* const kGone = "Not received un-registration message from client.";

// Forks a child that becomes `uid` (in kGroup when `member`) and exits with
// f()'s result; a child that hangs is ended by SIGALRM.
pid_t ForkAs(uid_t uid, bool member, const std::function<int()>& f) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  alarm(60);
  if (setgroups(member ? 1 : 0, &kGroup) != 0 || setresgid(uid, uid, uid) != 0 ||
      setresuid(uid, uid, uid) != 0)
    _exit(120);
  _exit(f());
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A program (a name in the bin directory, or an absolute path) run as `uid`
// (in kGroup when `member`), as setpriv --reuid --regid --groups/--clear-groups
// would; output in files of `workDir`.
kivtest::RunResult RunAs(uid_t uid, bool member, const std::string& program, std::vector<std::string> args,
                         const std::string& workDir) {
  const std::string out = workDir + "/as.out", err = workDir + "/as.err";
  std::vector<std::string> all{program[0] == '/' ? program : kivtest::BinPath(program)};
  all.insert(all.end(), args.begin(), args.end());
  kivtest::RunResult result;
  result.exitCode = Wait(ForkAs(uid, member, [&] {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (o < 0 || e < 0) return 126;
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    return 127;
  }));
  result.out = kivtest::ReadFile(out);
  result.err = kivtest::ReadFile(err);
  return result;
}

class SharedFilesSecurityE2E : public ::testing::Test {
 protected:
  kivtest::Sandbox sandbox;
  std::string dir = sandbox.Dir();
  std::string temp = sandbox.TempDir();
  std::string logDir = dir + "/log/";
  // Outside the installation, where every user may write (outputs of RunAs).
  std::string work = MakeWorkDir();
  faults::Dispatcher dispatcher{sandbox};
  faults::ClientBoard* board = faults::MakeBoard();

  void TearDown() override {
    board->stop = 1;
    dispatcher.Kill();
    faults::FreeBoard(board);
    std::filesystem::remove_all(work);
  }

  static std::string MakeWorkDir() {
    char tmpl[] = "/tmp/kivsec-XXXXXX";
    if (!mkdtemp(tmpl)) return "/nonexistent";
    chmod(tmpl, 0777);
    return tmpl;
  }

  // The installation directory belongs to kGroup (2770), or is open to all.
  void Start(bool worldAccessible) {
    sandbox.WriteConfig(faults::Config());
    ASSERT_EQ(chown(dir.c_str(), 0, kGroup), 0);
    ASSERT_EQ(chmod(dir.c_str(), worldAccessible ? 0777 : 02770), 0);
    ASSERT_TRUE(dispatcher.Start());
  }

  pid_t StartMemberClient(uid_t uid, int slot, const std::string& tag, long limit = -1) {
    return ForkAs(uid, true, [=, this] {
      faults::ApiClientProcess(board, slot, tag, limit);
      return 0;
    });
  }

  size_t Logged(const std::string& tag) { return faults::RecordNumbers(Export(), tag).size(); }
  std::string Export() { return faults::ExportDirectory(logDir, work).text; }
  kivtest::LogContents Log() { return kivtest::ReadBinaryLog(logDir); }
  long Connections() { return kivtest::ConnectionsIn(kivtest::ReadFile(temp + "KivServerStatus.txt")); }

  static struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }
  void ExpectModeAndGroup(const std::string& path, mode_t mode) {
    struct stat st = Stat(path);
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
    EXPECT_EQ(st.st_gid, kGroup) << path;
  }
  bool DetachedWith(uint32_t pid, const std::string& text) {
    for (const auto& c : Log().Controls(TracePacketShared::ClientDetached))
      if (c.controlPid == pid && c.text == text) return true;
    return false;
  }
};

TEST_F(SharedFilesSecurityE2E, GroupMemberTracesWhileOutsidersCanNeitherTraceControlNorReadLogs) {
  Start(false);
  pid_t member = StartMemberClient(kMember, 0, "member", 200);
  ASSERT_EQ(Wait(member), 0);
  EXPECT_EQ(Logged("member"), 200u);

  ExpectModeAndGroup(dir + "/temp", 03770);
  ExpectModeAndGroup(temp, 03770);
  for (const char* file : {"KivServerMessageBuffer.map", "KivServerMessageLock.lck", "KivService.pid",
                           "KivRecordSequenceNumberSeed.map", "KivServerStatus.txt"})
    ExpectModeAndGroup(temp + file, 0660);
  ExpectModeAndGroup(logDir, 0750);
  auto log = Log();
  ASSERT_FALSE(log.files.empty());
  for (const auto& file : log.files) ExpectModeAndGroup(file, 0640);

  // The stranger cannot even find the dispatcher.
  EXPECT_EQ(Wait(ForkAs(kStranger, false, [] { return KivTraceConnected() ? 1 : 0; })), 0);
  auto pause = RunAs(kStranger, false, "kivtool", {"pause"}, work);
  EXPECT_NE(pause.exitCode, 0) << pause.out;
  EXPECT_NE((pause.out + pause.err).find("Failed"), std::string::npos) << pause.out << pause.err;
  auto read = RunAs(kStranger, false, "/bin/cat", {log.files.front()}, work);
  EXPECT_NE(read.exitCode, 0);
  EXPECT_EQ(read.out, "");
  // The stranger's attempt never became a client: the member's was the only one.
  EXPECT_EQ(Log().Controls(TracePacketShared::ClientAttached).size(), 1u);
}

TEST_F(SharedFilesSecurityE2E, LinksAndFilesPlantedInAWorldWritableTempAreNeverFollowedNorUsed) {
  // Victim files outside the facility, root's only.
  const std::string victims = dir + "/victims";
  std::filesystem::create_directories(victims);
  kivtest::WriteFile(victims + "/secret", "secret");
  ASSERT_EQ(chmod(victims.c_str(), 0700), 0);
  // Planted before the start: emptying {temp} must remove the links, never
  // what they point at.
  std::filesystem::create_directories(temp + "sub");
  std::filesystem::create_directory_symlink(victims, temp + "evil");
  std::filesystem::create_directory_symlink(victims, temp + "sub/inner");
  Start(true);
  EXPECT_EQ(kivtest::ListDir(victims), std::vector<std::string>{"secret"});

  // The status file swapped for a link: rewritten as a file of its own.
  auto link =
      RunAs(kStranger, false, "/bin/ln", {"-sfn", victims + "/secret", temp + "KivServerStatus.txt"}, work);
  ASSERT_EQ(link.exitCode, 0) << link.err;
  ASSERT_TRUE(kivtest::WaitFor([&] { return S_ISREG(Stat(temp + "KivServerStatus.txt").st_mode); }));

  // A root client whose ring names were taken in advance: a link to the
  // victim, and a ring the stranger made and keeps open to read.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t client = fork();
  if (client == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(9);
    faults::ApiClientProcess(board, 0, "root", 100);
  }
  const std::string id = std::to_string(client);
  ASSERT_EQ(RunAs(kStranger, false, "/bin/ln",
                  {"-s", victims + "/secret", temp + "KivTraceBuffer" + id + ".map"}, work)
                .exitCode,
            0);
  const std::string planted = temp + "KivServerMessageBuffer" + id + ".map";
  ASSERT_EQ(RunAs(kStranger, false, "/usr/bin/truncate", {"-s", "524", planted}, work).exitCode, 0);
  int spy = open(planted.c_str(), O_RDONLY);
  ASSERT_GE(spy, 0);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  ASSERT_EQ(Wait(client), 0);
  EXPECT_EQ(Logged("root"), 100u);
  EXPECT_EQ(kivtest::ReadFile(victims + "/secret"), "secret");
  char bytes[524];
  ASSERT_EQ(pread(spy, bytes, sizeof bytes, 0), 524);
  EXPECT_EQ(std::string(bytes, sizeof bytes), std::string(524, '\0')) << "the client used the planted ring";
  for (int fd : {spy, go[0], go[1]}) close(fd);
}

TEST_F(SharedFilesSecurityE2E, MemberTruncatingItsRingOrTheCounterStopsNeitherTheDispatcherNorOthers) {
  Start(false);
  pid_t a = StartMemberClient(kMember, 0, "a");
  pid_t b = StartMemberClient(kOtherMember, 1, "b");
  ASSERT_TRUE(kivtest::WaitFor([&] { return board->written[0] > 50 && board->written[1] > 50; }));

  const std::string ring = temp + "KivTraceBuffer" + std::to_string(a) + ".map";
  ASSERT_EQ(RunAs(kMember, true, "/usr/bin/truncate", {"-s", "0", ring}, work).exitCode, 0);
  ASSERT_TRUE(kivtest::WaitFor([&] { return DetachedWith(static_cast<uint32_t>(a), kGone); }));
  ASSERT_EQ(
      RunAs(kMember, true, "/usr/bin/truncate", {"-s", "0", temp + "KivRecordSequenceNumberSeed.map"}, work)
          .exitCode,
      0);
  const long before = board->written[1];
  // On a stall, what the other client saw and what the dispatcher says.
  ASSERT_TRUE(kivtest::WaitFor([&] { return board->written[1] > before + 200; }))
      << "written " << board->written[1] << " (" << before << " before), connected " << board->connected[1]
      << ", disconnects " << board->disconnects[1] << "\n"
      << kivtest::ReadFile(temp + "KivServerStatus.txt");
  board->stop = 1;
  EXPECT_EQ(Wait(b), 0);
  EXPECT_EQ(Wait(a), 0);  // its records are lost, the process is not
  EXPECT_TRUE(dispatcher.Running());
  EXPECT_EQ(Logged("b"), static_cast<size_t>(board->written[1].load()));
}

TEST_F(SharedFilesSecurityE2E, HeldMessageLockOrForgedUnregistrationDoNotStopAClient) {
  Start(false);
  int held[2], release[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(release), 0);
  const std::string lockFile = temp + "KivServerMessageLock.lck";
  pid_t holder = ForkAs(kOtherMember, true, [&] {
    int fd = open(lockFile.c_str(), O_RDWR);
    struct flock lock = FirstByteLock(F_WRLCK);
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &lock) != 0) return 1;
    char c = 1;
    if (write(held[1], &c, 1) != 1) return 2;
    return read(release[0], &c, 1) == 1 ? 0 : 3;
  });
  char c;
  ASSERT_EQ(read(held[0], &c, 1), 1);

  // The first call registers: with the lock held it gives up after the
  // lock's deadline, not after the 2 s confirmation wait (or never).
  std::atomic<long>& firstCallMs = board->written[2];
  pid_t client = ForkAs(kMember, true, [&] {
    auto t0 = std::chrono::steady_clock::now();
    int connected = KivTraceConnected();
    firstCallMs =
        1 +
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    if (connected) return 5;
    faults::ApiClientProcess(board, 0, "victim");
    return 0;
  });
  ASSERT_TRUE(kivtest::WaitFor([&] { return firstCallMs > 0; }));
  EXPECT_LT(firstCallMs, 2000);
  ASSERT_EQ(write(release[1], &c, 1), 1);
  EXPECT_EQ(Wait(holder), 0);
  // Registered at a later poll.
  ASSERT_TRUE(kivtest::WaitFor([&] { return board->written[0] > 20; }));

  pid_t forger = ForkAs(kOtherMember, true,
                        [&] { return kivtest::ProtocolClient::SendUnregistrationOf(client) ? 0 : 1; });
  ASSERT_EQ(Wait(forger), 0);
  SharedMemory ring("KivServerMessageBuffer");
  CircularMemoryInputStream messages(ring.Data(), ring.Length());
  ASSERT_TRUE(kivtest::WaitFor([&] { return messages.GetDataLength() == 0; }));
  // Still drained: records written from now on reach the log.
  const long after = board->written[0] + 50;
  ASSERT_TRUE(kivtest::WaitFor([&] { return board->written[0] > after; }));
  ASSERT_TRUE(kivtest::WaitFor([&] { return faults::RecordNumbers(Export(), "victim").count(after) == 1; }));
  EXPECT_TRUE(kivtest::WaitFor([&] { return Connections() == 1; }));  // refreshed every second
  EXPECT_FALSE(DetachedWith(static_cast<uint32_t>(client), kGone));
  board->stop = 1;
  EXPECT_EQ(Wait(client), 0);
  for (int fd : {held[0], held[1], release[0], release[1]}) close(fd);
}

}  // namespace
