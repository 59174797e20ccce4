// BSTR layout and behaviour match Windows: byte-length prefix, terminator,
// embedded nulls, null handling.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "hostcom.h"

namespace {

struct BstrFree {
  void operator()(OLECHAR* s) const { SysFreeString(s); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

uint32_t Prefix(BSTR s) {
  uint32_t len;
  std::memcpy(&len, reinterpret_cast<const char*>(s) - 4, sizeof len);
  return len;
}

TEST(Bstr, PrefixHoldsByteLengthAndStringIsTerminated) {
  Bstr s(SysAllocString(u"Preset"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Prefix(s.get()), 12u);
  EXPECT_EQ(SysStringLen(s.get()), 6u);
  EXPECT_EQ(SysStringByteLen(s.get()), 12u);
  EXPECT_EQ(s.get()[6], 0);
  EXPECT_EQ(std::memcmp(s.get(), u"Preset", 12), 0);
}

TEST(Bstr, EmptyStringIsAllocatedWithZeroLength) {
  Bstr s(SysAllocString(u""));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Prefix(s.get()), 0u);
  EXPECT_EQ(s.get()[0], 0);
}

TEST(Bstr, EmbeddedNullsAreKept) {
  const OLECHAR text[] = {u'a', 0, u'b', 0, u'c'};
  Bstr s(SysAllocStringLen(text, 5));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s.get()), 5u);
  EXPECT_EQ(std::memcmp(s.get(), text, sizeof text), 0);
  EXPECT_EQ(s.get()[5], 0);
  // SysAllocString stops at the first null.
  Bstr t(SysAllocString(text));
  EXPECT_EQ(SysStringLen(t.get()), 1u);
}

TEST(Bstr, LenWithNullSourceGivesTerminatedStringOfThatLength) {
  Bstr s(SysAllocStringLen(nullptr, 10));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s.get()), 10u);
  EXPECT_EQ(Prefix(s.get()), 20u);
  EXPECT_EQ(s.get()[10], 0);
  // Writable over its whole length.
  for (int i = 0; i < 10; ++i) s.get()[i] = u'x';
  EXPECT_EQ(s.get()[10], 0);
}

TEST(Bstr, NullHandling) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(Bstr, ByteLenKeepsOddLengthAndTerminatesWithTwoZeroBytes) {
  Bstr s(SysAllocStringByteLen("abc", 3));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringByteLen(s.get()), 3u);
  EXPECT_EQ(SysStringLen(s.get()), 1u);
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.get());
  EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], 0);
}

TEST(Bstr, HugeLengthsFailInsteadOfWrapping) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, ReAllocReplacesAndFreesOldString) {
  BSTR s = SysAllocString(u"old");
  ASSERT_EQ(SysReAllocString(&s, u"newer"), TRUE);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(std::memcmp(s, u"newer", 10), 0);
  // Source inside the old string.
  ASSERT_EQ(SysReAllocString(&s, s + 2), TRUE);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(std::memcmp(s, u"wer", 6), 0);
  SysFreeString(s);
  EXPECT_EQ(SysReAllocString(nullptr, u"x"), FALSE);
}

}  // namespace
