// The service provider in this process: its construction next to a running
// dispatcher, and the message thread's handling of what clients write.

#include "KivService/KivServiceProvider.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "KivService/KivServerLogReader.h"
#include "KivService/KivServiceTestSupport.h"
#include "Support/TestFork.h"
#include "TestSupport/ProtocolClient.h"
#include "TraceService/TraceService.h"

using kivtest::ProtocolClient;
using ::testing::StartsWith;

namespace {
struct ProviderTest : ::testing::Test {
  kivtest::Sandbox sandbox;
  std::string temp = sandbox.TempDir();
  std::string logDir = sandbox.Dir() + "/log/";
  std::unique_ptr<KivServiceProvider> provider;

  void SetUp() override {
    std::filesystem::create_directories(temp);
    std::filesystem::create_directories(logDir);
    sandbox.WriteConfig(kivtest::BinaryLogConfig());
    provider = std::make_unique<KivServiceProvider>();
  }
  void TearDown() override { provider.reset(); }

  // The provider's periodic call, run until `condition` holds.
  bool Drive(const std::function<bool()>& condition) {
    return kivtest::WaitFor([&] {
      provider->Worker();
      return condition();
    });
  }
  bool Register(ProtocolClient& client) {
    return client.SendRegistration() && Drive([&] {
             return client.WaitForMessages(MessageTypeConfirmation, ConfirmRegistration, 1,
                                           std::chrono::milliseconds(0));
           });
  }
};

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
}  // namespace

TEST_F(ProviderTest, SecondProviderFailsWithoutTouchingTheRunningOnesFiles) {
  const std::string ring = temp + "KivServerMessageBuffer.map";
  const std::string lock = temp + "KivServerMessageLock.lck";
  const std::string counter = temp + "KivRecordSequenceNumberSeed.map";
  ProtocolClient client;
  ASSERT_TRUE(client.SendRegistration());  // waits in the ring, unhandled
  const auto ringBytes = kivtest::ReadFile(ring);
  const ino_t ringInode = Inode(ring), lockInode = Inode(lock), counterInode = Inode(counter);

  int rc = kivtest::RunInChild([] {
    try {
      KivServiceProvider second;
      return 1;
    } catch (const std::exception& e) {
      return std::string(e.what()).rfind("Fail to lock the file", 0) == 0 ? 0 : 2;
    }
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(kivtest::ReadFile(ring), ringBytes);
  EXPECT_EQ(Inode(ring), ringInode);
  EXPECT_EQ(Inode(lock), lockInode);
  EXPECT_EQ(Inode(counter), counterInode);
  EXPECT_EQ(kivtest::ReadFile(temp + "KivService.pid"), std::to_string(getpid()) + "\n");
  // The registration that waited is still handled.
  EXPECT_TRUE(Drive([&] {
    client.Poll();
    return client.CountMessages(MessageTypeConfirmation, ConfirmRegistration) == 1;
  }));
}

TEST_F(ProviderTest, PauseOutlivesTheClientThatAskedForIt) {
  {
    ProtocolClient tool;
    ASSERT_TRUE(Register(tool));
    ASSERT_TRUE(tool.SendConfigChange(PauseTracing));
    ASSERT_TRUE(Drive([&] {
      return tool.WaitForMessages(MessageTypeConfirmation, ConfirmConfigChange, 1,
                                  std::chrono::milliseconds(0));
    }));
    ASSERT_TRUE(tool.SendUnregistration());
    ASSERT_TRUE(Drive([&] { return provider->Manager().ClientCount() == 0; }));
  }
  // A client arriving later finds tracing still paused.
  kivtest::SleepingChild other;
  ProtocolClient client(other.Pid());
  ASSERT_TRUE(Register(client));
  uint32_t lost = client.WriteRecord("while paused");
  ASSERT_TRUE(client.WaitUntilDrained());
  EXPECT_LT(kivtest::ReadBinaryLog(logDir).IndexOf(lost), 0);

  ASSERT_TRUE(client.SendConfigChange(ResumeTracing));
  ASSERT_TRUE(Drive([&] {
    return client.WaitForMessages(MessageTypeConfirmation, ConfirmConfigChange, 1,
                                  std::chrono::milliseconds(0));
  }));
  uint32_t kept = client.WriteRecord("resumed");
  EXPECT_TRUE(kivtest::WaitFor([&] { return kivtest::ReadBinaryLog(logDir).IndexOf(kept) >= 0; }));
}

TEST_F(ProviderTest, ShortAndForeignMessagesAreIgnoredAndADamagedRingIsReset) {
  ProtocolClient client;
  // A service message of 8 bytes: not read as a registration with code 0.
  const uint32_t pid = client.Pid();
  uint8_t bytes[] = {0x0A, 8, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  std::memcpy(bytes + 5, &pid, 4);
  ASSERT_TRUE(client.SendRaw(bytes, sizeof bytes));
  // An unknown service code.
  MessageClientRegistration odd(pid, CodeRegister);
  odd.m_Code = 1;
  SmartBufferOutputStream<1024> encoded;
  EncodeMessage(odd, encoded);
  ASSERT_TRUE(client.SendRaw(encoded.Data(), encoded.GetLength()));
  provider->Worker();
  EXPECT_EQ(provider->Manager().ClientCount(), 0u);

  // Damage the ring header the way a faulty client could.
  {
    SharedMemory ring(KivServerMessageBufferNamingPolicy{});
    auto* header = reinterpret_cast<uint32_t*>(ring.Data());
    header[0] = 9999;
  }
  EXPECT_NO_THROW(provider->Worker());
  ASSERT_TRUE(Register(client));
  EXPECT_EQ(provider->Manager().ClientCount(), 1u);
}

TEST_F(ProviderTest, MessagesNamingAProcessWhoseMapFilesBelongToAnotherUserAreIgnored) {
  kivtest::SleepingChild other;  // runs as this test's user
  ProtocolClient client(other.Pid());
  for (const std::string& file :
       {ProtocolClient::TraceRingFile(other.Pid()), ProtocolClient::MessageRingFile(other.Pid())})
    ASSERT_EQ(chown(file.c_str(), 4321, 4321), 0);
  ASSERT_TRUE(client.SendRegistration());
  provider->Worker();
  EXPECT_EQ(provider->Manager().ClientCount(), 0u);
  client.Poll();
  EXPECT_EQ(client.CountMessages(MessageTypeConfirmation, ConfirmRegistration), 0u);

  ASSERT_EQ(chown(ProtocolClient::TraceRingFile(other.Pid()).c_str(), getuid(), getgid()), 0);
  ASSERT_EQ(chown(ProtocolClient::MessageRingFile(other.Pid()).c_str(), getuid(), getgid()), 0);
  ASSERT_TRUE(Register(client));
  EXPECT_EQ(provider->Manager().ClientCount(), 1u);
}
