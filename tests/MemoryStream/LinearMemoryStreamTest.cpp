#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "MemoryStream/MemoryInputStream.h"
#include "MemoryStream/MemoryOutputStream.h"

TEST(SmartBufferOutputStream, StaysInlineThenGrowsKeepingTheContents) {
  SmartBufferOutputStream<32> out;
  out.write("0123456789", 10);
  out.write("", 0);
  EXPECT_EQ(out.Capacity(), 32u);
  std::string big(100, 'b');
  out.write(big.data(), big.size());
  EXPECT_EQ(out.GetLength(), 110u);
  EXPECT_GE(out.Capacity(), 110u);
  EXPECT_EQ(std::string(out.c_str_data(), out.GetLength()), "0123456789" + big);
  out.Clear();
  out.write("x", 1);
  EXPECT_EQ(std::string(out.c_str_data(), out.GetLength()), "x");
}

TEST(FixedMemoryOutputStream, RefusesAWriteThatDoesNotFitWhole) {
  char buffer[8] = {};
  FixedMemoryOutputStream out(buffer, 6);
  EXPECT_TRUE(out.write("abcd", 4));
  EXPECT_FALSE(out.write("efg", 3));
  EXPECT_TRUE(out.Overflowed());
  EXPECT_FALSE(out.write("e", 1));  // stays refused: the contents are incomplete
  EXPECT_EQ(out.GetLength(), 4u);
  EXPECT_EQ(std::string(buffer), "abcd");
  out.Clear();
  EXPECT_TRUE(out.write("abcdef", 6));
}

TEST(MemoryInputStream, ReadsExactlyAndRefusesToReadPastTheEnd) {
  const char data[] = "hello world";
  MemoryInputStream in(data, 11);
  char got[6] = {};
  in.read(got, 5);
  EXPECT_EQ(std::string(got), "hello");
  EXPECT_EQ(in.GetPosition(), 5u);
  EXPECT_EQ(in.GetDataLength(), 6u);
  EXPECT_THAT([&] { in.read(got, 7); },
              testing::ThrowsMessage<std::logic_error>(testing::HasSubstr("Insufficent data to read")));
  EXPECT_EQ(in.GetPosition(), 5u);  // a refused read consumes nothing
  EXPECT_THROW(in.Skip(0xFFFFFFFFu), std::logic_error);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(in.ReadView(6)), 6), " world");
  EXPECT_EQ(in.GetDataLength(), 0u);
}

TEST(BufferedMemoryInputStream, LoadsFromAnotherStreamAndReusesItsStorage) {
  std::string source(5000, 's');
  source[4999] = 'e';
  MemoryInputStream in(source.data(), static_cast<uint32_t>(source.size()));
  BufferedMemoryInputStream<64> buffered;
  buffered.Load(in, 5000);
  EXPECT_EQ(in.GetDataLength(), 0u);
  EXPECT_EQ(buffered.GetLength(), 5000u);
  buffered.Skip(4999);
  char last = 0;
  buffered.read(&last, 1);
  EXPECT_EQ(last, 'e');
  buffered.Copy("ab", 2);
  EXPECT_EQ(buffered.GetPosition(), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffered.ReadView(2)), 2), "ab");
}
