// GUID text form: round trip, malformed text, and the well-known identifiers.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/com.h"
#include "test_support.h"

namespace {

constexpr GUID kCameraControl = {0x9D3166E1, 0xA31E, 0x4E07, {0xA6, 0xBF, 0xAD, 0xBE, 0x75, 0x26, 0x6C, 0xFE}};

TEST(Guid, StringFromGuid2WritesBracedUpperCaseText) {
  OLECHAR buf[39];
  ASSERT_EQ(StringFromGUID2(kCameraControl, buf, 39), 39);
  EXPECT_EQ(platform::ComString(buf), u"{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}");
  OLECHAR small[38];
  std::memset(small, 0x55, sizeof small);
  EXPECT_EQ(StringFromGUID2(kCameraControl, small, 38), 0);
  EXPECT_EQ(small[0], 0x5555) << "nothing written into a buffer that is too small";
}

TEST(Guid, TextRoundTripInEitherCase) {
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(u"{9d3166e1-a31e-4e07-a6bf-adbe75266cfe}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, kCameraControl));
  IID iid{};
  ASSERT_EQ(IIDFromString(u"{00020400-0000-0000-C000-000000000046}", &iid), S_OK);
  EXPECT_TRUE(IsEqualGUID(iid, IID_IDispatch));
  EXPECT_EQ(platform::GuidToString(IID_ISupportErrorInfo), u"{DF0B3D60-548F-101B-8E65-08002B2BD119}");
}

TEST(Guid, WellKnownIdentifiers) {
  EXPECT_EQ(platform::GuidToString(IID_IUnknown), u"{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::GuidToString(IID_IClassFactory), u"{00000001-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::GuidToString(IID_NULL), u"{00000000-0000-0000-0000-000000000000}");
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, IID_NULL));
}

struct Malformed {
  const char16_t* text;
  HRESULT iidResult;
};

void PrintTo(const Malformed& m, std::ostream* os) { *os << '"' << platform::ComToUtf8(m.text) << '"'; }

class GuidMalformed : public hostcom_test::TempDirTest, public ::testing::WithParamInterface<Malformed> {};

TEST_P(GuidMalformed, IsRefusedAndOutputUntouched) {
  const Malformed m = GetParam();
  GUID g = kCameraControl;
  EXPECT_EQ(CLSIDFromString(m.text, &g), CO_E_CLASSSTRING);
  EXPECT_TRUE(IsEqualGUID(g, kCameraControl));
  EXPECT_EQ(IIDFromString(m.text, &g), m.iidResult);
  EXPECT_TRUE(IsEqualGUID(g, kCameraControl));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GuidMalformed,
    ::testing::Values(Malformed{u"", E_INVALIDARG},
                      Malformed{u"9D3166E1-A31E-4E07-A6BF-ADBE75266CFE", E_INVALIDARG},
                      Malformed{u"{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE", E_INVALIDARG},
                      Malformed{u"{9D3166E1-A31E-4E07-A6BF-ADBE75266CFEE}", E_INVALIDARG},
                      Malformed{u"{9D3166E1-A31E-4E07-A6BF-ADBE75266CFG}", CO_E_IIDSTRING},
                      Malformed{u"{9D3166E1 A31E-4E07-A6BF-ADBE75266CFE}", CO_E_IIDSTRING},
                      Malformed{u"(9D3166E1-A31E-4E07-A6BF-ADBE75266CFE)", CO_E_IIDSTRING},
                      Malformed{u"{9D3166E1-A31E-4E07-A6BFADBE-75266CFE}", CO_E_IIDSTRING}),
    [](const ::testing::TestParamInfo<Malformed>& p) { return "Case" + std::to_string(p.index); });

TEST(Guid, NullTextGivesNullGuid) {
  GUID g = kCameraControl;
  EXPECT_EQ(CLSIDFromString(nullptr, &g), S_OK);
  EXPECT_TRUE(IsEqualGUID(g, GUID_NULL));
  g = kCameraControl;
  EXPECT_EQ(IIDFromString(nullptr, &g), S_OK);
  EXPECT_TRUE(IsEqualGUID(g, IID_NULL));
  EXPECT_EQ(CLSIDFromString(u"{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}", nullptr), E_INVALIDARG);
}

}  // namespace
