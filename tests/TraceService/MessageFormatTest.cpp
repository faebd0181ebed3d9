#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "TraceService/TraceService.h"

namespace {
template <class Message>
std::vector<uint8_t> Encode(const Message& message) {
  SmartBufferOutputStream<1024> out;
  EncodeMessage(message, out);
  return {out.Data(), out.Data() + out.GetLength()};
}
}  // namespace

TEST(MessageFormat, StructuresHaveTheWireLayout) {
  EXPECT_EQ(offsetof(MessageHeader, m_SourceId), 0u);
  EXPECT_EQ(offsetof(MessageHeader, m_Type), 4u);
  EXPECT_EQ(offsetof(MessageHeader, m_Code), 8u);
  EXPECT_EQ(offsetof(MessagePing, m_Type), 4u);
}

TEST(MessageFormat, RegistrationOfProcess4711IsSeventeenBytes) {
  const std::vector<uint8_t> expected = {0x0A, 0x0C, 0x00, 0x00, 0x00, 0x67, 0x12, 0x00, 0x00,
                                         0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Encode(MessageClientRegistration(4711, CodeRegister)), expected);
  auto unregister = Encode(MessageClientRegistration(4711, CodeUnregister));
  ASSERT_EQ(unregister.size(), 17u);
  EXPECT_EQ(unregister[13], 0x02);
}

TEST(MessageFormat, ChangeConfirmationAndPingEncodeToTheirSizes) {
  EXPECT_EQ(Encode(MessageRuntimeConfigurationChange(0x01020304, PauseTracing)),
            (std::vector<uint8_t>{0x0A, 0x10, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 2, 0,
                                  0,    0,    1, 0, 0, 0,    0,    0,    0,    0}));
  EXPECT_EQ(Encode(MessageConfirmation(ConfirmConfigChange)),
            (std::vector<uint8_t>{0x0A, 0x10, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Encode(MessagePing(4711)),
            (std::vector<uint8_t>{0x0A, 0x08, 0, 0, 0, 0x67, 0x12, 0, 0, 4, 0, 0, 0}));
}

TEST(MessageFormat, BufferNames) {
  EXPECT_EQ(std::string(KivServerMessageBufferNamingPolicy()), "KivServerMessageBuffer");
  EXPECT_EQ(KivMessageBuffers::ClientMessageBufferName(4711), "KivServerMessageBuffer4711");
  EXPECT_EQ(KivMessageBuffers::TraceBufferName(4711), "KivTraceBuffer4711");
}
