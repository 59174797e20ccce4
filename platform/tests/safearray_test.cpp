// SAFEARRAY layout and behaviour match Windows.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "hostcom.h"

namespace {

struct ArrayDestroy {
  void operator()(SAFEARRAY* psa) const { SafeArrayDestroy(psa); }
};
using Array = std::unique_ptr<SAFEARRAY, ArrayDestroy>;

struct BstrFree {
  void operator()(OLECHAR* s) const { SysFreeString(s); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

uint32_t HiddenVartype(SAFEARRAY* psa) {
  uint32_t vt;
  std::memcpy(&vt, reinterpret_cast<const char*>(psa) - 4, sizeof vt);
  return vt;
}

TEST(SafeArray, DescriptorLayoutIsTheWindowsOne) {
  EXPECT_EQ(offsetof(SAFEARRAY, cDims), 0u);
  EXPECT_EQ(offsetof(SAFEARRAY, fFeatures), 2u);
  EXPECT_EQ(offsetof(SAFEARRAY, cbElements), 4u);
  EXPECT_EQ(offsetof(SAFEARRAY, cLocks), 8u);
  EXPECT_EQ(offsetof(SAFEARRAY, pvData), 16u);
  EXPECT_EQ(offsetof(SAFEARRAY, rgsabound), 24u);
  EXPECT_EQ(offsetof(SAFEARRAYBOUND, cElements), 0u);
  EXPECT_EQ(offsetof(SAFEARRAYBOUND, lLbound), 4u);
  EXPECT_EQ(sizeof(VARIANT), 24u);
  EXPECT_EQ(offsetof(VARIANT, bstrVal), 8u);
}

struct VectorCase {
  VARTYPE vt;
  ULONG elementSize;
  USHORT features;
};

void PrintTo(const VectorCase& c, std::ostream* os) { *os << "vt " << c.vt; }

class SafeArrayVector : public ::testing::TestWithParam<VectorCase> {};

TEST_P(SafeArrayVector, CreateSetsFeaturesSizeVartypeAndBounds) {
  const VectorCase c = GetParam();
  Array a(SafeArrayCreateVector(c.vt, 1, 3));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->cDims, 1);
  EXPECT_EQ(a->fFeatures, c.features);
  EXPECT_EQ(a->cbElements, c.elementSize);
  EXPECT_EQ(a->cLocks, 0u);
  EXPECT_EQ(a->rgsabound[0].cElements, 3u);
  EXPECT_EQ(a->rgsabound[0].lLbound, 1);
  EXPECT_EQ(HiddenVartype(a.get()), c.vt);
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayGetVartype(a.get(), &vt), S_OK);
  EXPECT_EQ(vt, c.vt);
  EXPECT_EQ(SafeArrayGetElemsize(a.get()), c.elementSize);
  EXPECT_EQ(SafeArrayGetDim(a.get()), 1u);
  // Elements start zeroed.
  const auto* data = static_cast<const unsigned char*>(a->pvData);
  for (size_t i = 0; i < 3 * c.elementSize; ++i) ASSERT_EQ(data[i], 0) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Types, SafeArrayVector,
    ::testing::Values(VectorCase{VT_BSTR, 8, FADF_CREATEVECTOR | FADF_HAVEVARTYPE | FADF_BSTR},
                      VectorCase{VT_I4, 4, FADF_CREATEVECTOR | FADF_HAVEVARTYPE},
                      VectorCase{VT_UI1, 1, FADF_CREATEVECTOR | FADF_HAVEVARTYPE},
                      VectorCase{VT_VARIANT, 24, FADF_CREATEVECTOR | FADF_HAVEVARTYPE | FADF_VARIANT}),
    [](const ::testing::TestParamInfo<VectorCase>& p) { return "Vt" + std::to_string(p.param.vt); });

TEST(SafeArray, UnusableElementTypeIsRefused) {
  EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_NULL, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_I4, 0, 0x40000000u), nullptr);
}

TEST(SafeArray, BoundsAndBadDimension) {
  Array a(SafeArrayCreateVector(VT_BSTR, -2, 5));
  ASSERT_NE(a, nullptr);
  LONG lo = 99, hi = 99;
  EXPECT_EQ(SafeArrayGetLBound(a.get(), 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(a.get(), 1, &hi), S_OK);
  EXPECT_EQ(lo, -2);
  EXPECT_EQ(hi, 2);
  lo = hi = 99;
  EXPECT_EQ(SafeArrayGetLBound(a.get(), 0, &lo), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(a.get(), 2, &hi), DISP_E_BADINDEX);
  EXPECT_EQ(lo, 99);
  EXPECT_EQ(hi, 99);
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &lo), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetUBound(a.get(), 1, nullptr), E_INVALIDARG);
}

TEST(SafeArray, EmptyVectorHasUpperBoundBelowLower) {
  Array a(SafeArrayCreateVector(VT_BSTR, 0, 0));
  ASSERT_NE(a, nullptr);
  LONG hi = 0;
  EXPECT_EQ(SafeArrayGetUBound(a.get(), 1, &hi), S_OK);
  EXPECT_EQ(hi, -1);
  LONG index = 0;
  BSTR out = nullptr;
  EXPECT_EQ(SafeArrayGetElement(a.get(), &index, &out), DISP_E_BADINDEX);
}

TEST(SafeArray, PutAndGetCopyStrings) {
  Array a(SafeArrayCreateVector(VT_BSTR, 0, 2));
  ASSERT_NE(a, nullptr);
  Bstr source(SysAllocString(u"camera#1"));
  LONG index = 1;
  ASSERT_EQ(SafeArrayPutElement(a.get(), &index, source.get()), S_OK);
  BSTR* cells = static_cast<BSTR*>(a->pvData);
  ASSERT_NE(cells[1], nullptr);
  EXPECT_NE(cells[1], source.get()) << "put must store a copy";
  EXPECT_EQ(std::memcmp(cells[1], u"camera#1", 16), 0);

  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(a.get(), &index, &got), S_OK);
  Bstr owned(got);
  EXPECT_NE(got, cells[1]) << "get must return a copy";
  EXPECT_EQ(SysStringLen(got), 8u);
  EXPECT_EQ(std::memcmp(got, u"camera#1", 16), 0);

  // Replacing frees the old element (ASan reports a leak otherwise) and copies the new one.
  Bstr second(SysAllocStringLen(u"a\0b", 3));
  ASSERT_EQ(SafeArrayPutElement(a.get(), &index, second.get()), S_OK);
  EXPECT_EQ(SysStringLen(cells[1]), 3u);
  EXPECT_EQ(std::memcmp(cells[1], u"a\0b", 6), 0);

  // An unset element reads back as a null string.
  index = 0;
  got = reinterpret_cast<BSTR>(&index);
  ASSERT_EQ(SafeArrayGetElement(a.get(), &index, &got), S_OK);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(a->cLocks, 0u);
}

TEST(SafeArray, OutOfRangeIndexIsRefusedAndNothingIsWritten) {
  Array a(SafeArrayCreateVector(VT_I4, 1, 3));
  ASSERT_NE(a, nullptr);
  LONG value = 7;
  for (LONG index : {0, 4, -1, 0x7FFFFFFF, static_cast<LONG>(0x80000000u)}) {
    EXPECT_EQ(SafeArrayPutElement(a.get(), &index, &value), DISP_E_BADINDEX) << index;
    LONG out = 55;
    EXPECT_EQ(SafeArrayGetElement(a.get(), &index, &out), DISP_E_BADINDEX) << index;
    EXPECT_EQ(out, 55);
  }
  const auto* cells = static_cast<const LONG*>(a->pvData);
  EXPECT_EQ(cells[0] | cells[1] | cells[2], 0);
  LONG index = 3;
  ASSERT_EQ(SafeArrayPutElement(a.get(), &index, &value), S_OK);
  EXPECT_EQ(cells[2], 7);
}

TEST(SafeArray, NullArgumentsGiveInvalidArg) {
  Array a(SafeArrayCreateVector(VT_I4, 0, 1));
  LONG index = 0;
  LONG value = 0;
  void* data = nullptr;
  EXPECT_EQ(SafeArrayGetElement(nullptr, &index, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(a.get(), nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(a.get(), &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(a.get(), &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(a.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayUnaccessData(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetVartype(nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, AccessDataCountsLocksAndLockedArrayIsNotDestroyed) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 1);
  ASSERT_NE(a, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
  EXPECT_EQ(data, a->pvData);
  ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
  EXPECT_EQ(a->cLocks, 2u);
  static_cast<BSTR*>(data)[0] = SysAllocString(u"kept");
  EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
  // Still intact after the refused destroy.
  EXPECT_EQ(std::memcmp(static_cast<BSTR*>(a->pvData)[0], u"kept", 8), 0);
  EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
  EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(a), S_OK);
  EXPECT_EQ(a->cLocks, 0u);
  EXPECT_EQ(SafeArrayUnaccessData(a), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

TEST(SafeArray, DestroyFreesStringElements) {
  // Run under AddressSanitizer: a string left behind is reported as a leak.
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 3);
  ASSERT_NE(a, nullptr);
  for (LONG i = 0; i < 3; ++i) {
    Bstr s(SysAllocString(u"device"));
    ASSERT_EQ(SafeArrayPutElement(a, &i, s.get()), S_OK);
  }
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

TEST(SafeArray, VariantElementsAreCopiedAndCleared) {
  Array a(SafeArrayCreateVector(VT_VARIANT, 0, 1));
  ASSERT_NE(a, nullptr);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"value");
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(a.get(), &index, &v), S_OK);
  auto* cell = static_cast<VARIANT*>(a->pvData);
  EXPECT_EQ(cell->vt, VT_BSTR);
  EXPECT_NE(cell->bstrVal, v.bstrVal);
  VARIANT out;
  ASSERT_EQ(SafeArrayGetElement(a.get(), &index, &out), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_NE(out.bstrVal, cell->bstrVal);
  EXPECT_EQ(std::memcmp(out.bstrVal, u"value", 10), 0);
  EXPECT_EQ(VariantClear(&out), S_OK);
  EXPECT_EQ(out.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(SafeArray, MultiDimensionalBoundsAreStoredLastDimensionFirst) {
  SAFEARRAYBOUND bounds[2] = {{2, 10}, {3, 20}};  // first dimension 10..11, second 20..22
  Array a(SafeArrayCreate(VT_I4, 2, bounds));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->fFeatures, FADF_HAVEVARTYPE);
  EXPECT_EQ(a->rgsabound[0].lLbound, 20);
  EXPECT_EQ(a->rgsabound[1].lLbound, 10);
  LONG lo = 0, hi = 0;
  ASSERT_EQ(SafeArrayGetLBound(a.get(), 1, &lo), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(a.get(), 1, &hi), S_OK);
  EXPECT_EQ(lo, 10);
  EXPECT_EQ(hi, 11);
  ASSERT_EQ(SafeArrayGetUBound(a.get(), 2, &hi), S_OK);
  EXPECT_EQ(hi, 22);
  // Indices are given rightmost dimension first; that dimension varies fastest.
  LONG indices[2] = {21, 11};
  LONG value = 5;
  ASSERT_EQ(SafeArrayPutElement(a.get(), indices, &value), S_OK);
  EXPECT_EQ(static_cast<LONG*>(a->pvData)[1 + 1 * 3], 5);
  LONG bad[2] = {23, 10};
  EXPECT_EQ(SafeArrayPutElement(a.get(), bad, &value), DISP_E_BADINDEX);
}

}  // namespace

namespace {

// Counts its references; stands for any interface held by a variant or array.
class Counted final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  ULONG refs = 1;
};

TEST(Variant, ClearReleasesWhatItOwnsAndRefusesUnknownTypes) {
  Counted object;
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_UNKNOWN;
  v.punkVal = &object;
  object.AddRef();
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(object.refs, 3u);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.refs, 1u);
  EXPECT_EQ(v.vt, VT_EMPTY);

  v.vt = 0x0FFF;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 0x0FFF);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(SafeArray, InterfaceElementsAreReferenceCounted) {
  Counted object;
  SAFEARRAY* a = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->fFeatures, FADF_CREATEVECTOR | FADF_HAVEIID | FADF_UNKNOWN);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(a) - 16, &IID_IUnknown, 16), 0);
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
  EXPECT_EQ(vt, VT_UNKNOWN);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(a, &index, &object), S_OK);
  index = 1;
  ASSERT_EQ(SafeArrayPutElement(a, &index, &object), S_OK);
  EXPECT_EQ(object.refs, 3u);
  IUnknown* got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(a, &index, &got), S_OK);
  EXPECT_EQ(got, &object);
  EXPECT_EQ(object.refs, 4u);
  got->Release();
  ASSERT_EQ(SafeArrayPutElement(a, &index, nullptr), S_OK);
  EXPECT_EQ(object.refs, 2u);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
  EXPECT_EQ(object.refs, 1u);
}

}  // namespace
