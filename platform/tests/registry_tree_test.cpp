// The registry text format: parsing, writing, escapes, names, malformed input.
#include <gtest/gtest.h>

#include "registry_store.h"

namespace {

using hostcom::RegRoot;
using hostcom::RegStatus;
using hostcom::RegTree;
using hostcom::RegValue;

constexpr char kSample[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_CLASSES_ROOT\\CLSID]\n"
    "\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}]\n"
    "@=\"CameraControl Class\"\n"
    "\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}\\InprocServer32]\n"
    "@=\"/opt/velquin/VELQUIN.so\"\n"
    "\"ThreadingModel\"=\"Apartment\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Class]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Class\\0001]\n"
    "\"DevSymLink\"=\"\\\\\\\\.\\\\campset0\"\n"
    "\"Flags\"=dword:0000001f\n"
    "\n";

TEST(RegTree, ParsesSampleExport) {
  RegTree t;
  ASSERT_TRUE(RegTree::Parse(kSample, t)) << RegTree::Parse(kSample, t).message;
  std::string v;
  ASSERT_TRUE(t.GetString(RegRoot::ClassesRoot, "CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}\\InprocServer32", "", v));
  EXPECT_EQ(v, "/opt/velquin/VELQUIN.so");
  ASSERT_TRUE(t.GetString(RegRoot::ClassesRoot, "CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}\\InprocServer32",
                          "ThreadingModel", v));
  EXPECT_EQ(v, "Apartment");
  ASSERT_TRUE(t.GetString(RegRoot::LocalMachine, "Class\\0001",
                          "DevSymLink", v));
  EXPECT_EQ(v, "\\\\.\\campset0");
  auto flags = t.GetValue(RegRoot::LocalMachine, "Class\\0001", "Flags");
  ASSERT_TRUE(flags.has_value());
  EXPECT_EQ(*flags, RegValue::Dword(0x1F));
  EXPECT_NE(t.FindKey(RegRoot::ClassesRoot, "CLSID"), nullptr);
}

TEST(RegTree, WritesExactlyWhatItParsed) {
  RegTree t;
  ASSERT_TRUE(RegTree::Parse(kSample, t));
  EXPECT_EQ(t.Serialize(), kSample);
}

TEST(RegTree, SectionWithoutParentSectionsCreatesTheParents) {
  RegTree t;
  ASSERT_TRUE(RegTree::Parse("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\\B]\n@=\"x\"\n", t));
  EXPECT_NE(t.FindKey(RegRoot::LocalMachine, "A"), nullptr);
  EXPECT_EQ(t.Serialize(),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n@=\"x\"\n\n");
}

TEST(RegTree, WritesIntermediateKeysAndSortsSubkeys) {
  RegTree t;
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "b\\y", "", "1"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "a", "Name", "2"));
  ASSERT_TRUE(t.SetDword(RegRoot::LocalMachine, "Software", "N", 0xDEADBEEF));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "a", "", "d"));
  EXPECT_EQ(t.Serialize(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CLASSES_ROOT\\a]\n@=\"d\"\n\"Name\"=\"2\"\n\n"
            "[HKEY_CLASSES_ROOT\\b]\n\n"
            "[HKEY_CLASSES_ROOT\\b\\y]\n@=\"1\"\n\n"
            "[HKEY_LOCAL_MACHINE\\Software]\n\"N\"=dword:deadbeef\n\n");
}

TEST(RegTree, EscapesSurviveRoundTrip) {
  const std::string tricky[] = {"back\\slash", "quote\"inside", "two\nlines\r\n", std::string("nul\0inside", 10),
                                "ünïcødé ✓", "", "[brackets] = @", "trailing\\"};
  RegTree t;
  int i = 0;
  for (const auto& s : tricky) {
    ASSERT_TRUE(t.SetString(RegRoot::CurrentUser, "Key]with\"odd name", "v" + std::to_string(i) + s, s));
    ++i;
  }
  const std::string text = t.Serialize();
  RegTree back;
  ASSERT_TRUE(RegTree::Parse(text, back)) << RegTree::Parse(text, back).message << "\n" << text;
  i = 0;
  for (const auto& s : tricky) {
    std::string v;
    ASSERT_TRUE(back.GetString(RegRoot::CurrentUser, "Key]with\"odd name", "v" + std::to_string(i) + s, v)) << i;
    EXPECT_EQ(v, s);
    ++i;
  }
  EXPECT_EQ(back.Serialize(), text);
}

TEST(RegTree, ReadsRegistryEditorQuirks) {
  // Byte order mark, CRLF lines, comments, a string spanning lines, upper-case
  // hex, and binary data continued over lines.
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
      "; comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\Test]\r\n"
      "\"Multi\"=\"first\r\nsecond\"\r\n"
      "\"Mask\"=dword:0000FFFF\r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "  @ = \"spaced\"  \r\n";
  RegTree t;
  ASSERT_TRUE(RegTree::Parse(text, t)) << RegTree::Parse(text, t).message;
  std::string v;
  ASSERT_TRUE(t.GetString(RegRoot::CurrentUser, "Software\\Test", "Multi", v));
  EXPECT_EQ(v, "first\r\nsecond");
  ASSERT_TRUE(t.GetString(RegRoot::CurrentUser, "Software\\Test", "", v));
  EXPECT_EQ(v, "spaced");
  EXPECT_EQ(*t.GetValue(RegRoot::CurrentUser, "Software\\Test", "Mask"), RegValue::Dword(0xFFFF));
  EXPECT_EQ(*t.GetValue(RegRoot::CurrentUser, "Software\\Test", "Bin"), RegValue::Raw("hex:01,02,03,04"));
  EXPECT_EQ(t.GetString(RegRoot::CurrentUser, "Software\\Test", "Bin", v).code, RegStatus::Code::WrongType);
}

TEST(RegTree, NamesAreCaseInsensitiveAndKeepTheirFirstCase) {
  RegTree t;
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "VELQUIN.CameraControl\\CurVer", "", "x"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "velquin.cameracontrol\\CURVER", "", "y"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "Velquin.CameraControl", "ThreadingModel", "a"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "Velquin.CameraControl", "THREADINGMODEL", "b"));
  const auto* key = t.FindKey(RegRoot::ClassesRoot, "VELQUIN.CAMERACONTROL");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Name(), "VELQUIN.CameraControl");
  EXPECT_EQ(key->Subkeys().size(), 1u);
  ASSERT_EQ(key->Values().size(), 1u);
  EXPECT_EQ(key->Values()[0].first, "ThreadingModel");
  EXPECT_EQ(key->Values()[0].second.text, "b");
  std::string v;
  ASSERT_TRUE(t.GetString(RegRoot::ClassesRoot, "Velquin.CameraControl\\curver", "", v));
  EXPECT_EQ(v, "y");
  // Duplicate sections in a file merge in the same way.
  RegTree p;
  ASSERT_TRUE(RegTree::Parse("Windows Registry Editor Version 5.00\n[hkey_classes_root\\A]\n\"x\"=\"1\"\n"
                             "[HKEY_CLASSES_ROOT\\a]\n\"X\"=\"2\"\n",
                             p));
  ASSERT_TRUE(p.GetString(RegRoot::ClassesRoot, "A", "x", v));
  EXPECT_EQ(v, "2");
}

TEST(RegTree, DeleteTreeRemovesKeyWithEverythingBelowOnly) {
  RegTree t;
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "CLSID\\{A}\\InprocServer32", "", "a.so"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "CLSID\\{A}\\ProgID", "", "A.1"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "CLSID\\{B}", "", "b"));
  ASSERT_TRUE(t.DeleteTree(RegRoot::ClassesRoot, "clsid\\{a}"));
  EXPECT_EQ(t.FindKey(RegRoot::ClassesRoot, "CLSID\\{A}"), nullptr);
  EXPECT_EQ(t.FindKey(RegRoot::ClassesRoot, "CLSID\\{A}\\InprocServer32"), nullptr);
  EXPECT_NE(t.FindKey(RegRoot::ClassesRoot, "CLSID\\{B}"), nullptr);
  EXPECT_NE(t.FindKey(RegRoot::ClassesRoot, "CLSID"), nullptr);
  // Missing key: success, nothing changes.
  const std::string before = t.Serialize();
  EXPECT_TRUE(t.DeleteTree(RegRoot::ClassesRoot, "CLSID\\{C}\\Deep"));
  EXPECT_EQ(t.Serialize(), before);
  // The root itself cannot be deleted.
  EXPECT_EQ(t.DeleteTree(RegRoot::ClassesRoot, "").code, RegStatus::Code::InvalidArgument);
}

TEST(RegTree, BadKeyPathsAreRefused) {
  RegTree t;
  for (const char* path : {"a\\\\b", "\\a", "a\\", "line\nbreak"}) {
    EXPECT_EQ(t.CreateKey(RegRoot::ClassesRoot, path).code, RegStatus::Code::InvalidArgument) << path;
    EXPECT_EQ(t.SetString(RegRoot::ClassesRoot, path, "", "x").code, RegStatus::Code::InvalidArgument) << path;
  }
  EXPECT_EQ(t.SetValue(RegRoot::ClassesRoot, "a", "v", RegValue::Raw("hex:01\n[HKEY_CLASSES_ROOT\\evil]")).code,
            RegStatus::Code::InvalidArgument);
  EXPECT_EQ(t.Serialize(), "Windows Registry Editor Version 5.00\n\n");
}

TEST(RegTree, RawDataEndingInBackslashIsRefused) {
  // Written out, a trailing backslash would continue the value onto the next
  // line and swallow that line at the next read.
  RegTree t;
  EXPECT_EQ(t.SetValue(RegRoot::ClassesRoot, "a", "v", RegValue::Raw("hex:01,\\")).code,
            RegStatus::Code::InvalidArgument);
  EXPECT_EQ(t.Serialize(), "Windows Registry Editor Version 5.00\n\n");
  ASSERT_TRUE(t.SetValue(RegRoot::ClassesRoot, "a", "v", RegValue::Raw("hex:01,02")));
}

TEST(RegTree, KeysDeeperThan512LevelsAreRefused) {
  auto path = [](size_t depth) {
    std::string p = "k";
    for (size_t i = 1; i < depth; ++i) p += "\\k";
    return p;
  };
  RegTree t;
  EXPECT_TRUE(t.CreateKey(RegRoot::CurrentUser, path(512)));
  EXPECT_EQ(t.CreateKey(RegRoot::CurrentUser, path(513)).code, RegStatus::Code::InvalidArgument);
  EXPECT_EQ(t.SetString(RegRoot::CurrentUser, path(513), "v", "x").code, RegStatus::Code::InvalidArgument);
  EXPECT_EQ(t.FindKey(RegRoot::CurrentUser, path(513)), nullptr);

  const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\";
  RegTree parsed;
  ASSERT_TRUE(RegTree::Parse(header + path(512) + "]\n\"v\"=\"x\"\n", parsed));
  RegTree again;
  ASSERT_TRUE(RegTree::Parse(parsed.Serialize(), again));
  EXPECT_EQ(again.Serialize(), parsed.Serialize());
  // A section extending a 512-level one by a level is as deep as a 513-level one.
  EXPECT_EQ(RegTree::Parse(header + path(512) + "]\n[HKEY_CURRENT_USER\\" + path(513) + "]\n", parsed).code,
            RegStatus::Code::Malformed);
  // Deeper files are refused before the tree grows: writing and freeing a
  // tree 100000 levels deep overflowed the stack.
  for (size_t depth : {513u, 100000u}) {
    const RegStatus st = RegTree::Parse(header + path(depth) + "]\n", parsed, "deep.reg");
    EXPECT_EQ(st.code, RegStatus::Code::Malformed) << depth;
    EXPECT_NE(st.message.find("deep.reg line 3:"), std::string::npos) << st.message.substr(0, 80);
  }
}

TEST(RegTree, MissingValuesReportNotFound) {
  RegTree t;
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "K", "present", "1"));
  std::string v = "unchanged";
  EXPECT_EQ(t.GetString(RegRoot::ClassesRoot, "K", "absent", v).code, RegStatus::Code::NotFound);
  EXPECT_EQ(t.GetString(RegRoot::ClassesRoot, "Nope", "", v).code, RegStatus::Code::NotFound);
  EXPECT_EQ(t.GetString(RegRoot::LocalMachine, "K", "present", v).code, RegStatus::Code::NotFound);
  EXPECT_EQ(v, "unchanged");
  EXPECT_EQ(t.DeleteValue(RegRoot::ClassesRoot, "K", "absent").code, RegStatus::Code::NotFound);
  EXPECT_TRUE(t.DeleteValue(RegRoot::ClassesRoot, "K", "PRESENT"));
  EXPECT_FALSE(t.GetValue(RegRoot::ClassesRoot, "K", "present").has_value());
}

// Values are found through an index by name; deleting one keeps the others
// findable and in their order.
TEST(RegTree, DeletingAValueKeepsTheOthersFindableInOrder) {
  RegTree t;
  for (const char* name : {"a", "b", "c", "d"}) ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "K", name, name));
  ASSERT_TRUE(t.DeleteValue(RegRoot::ClassesRoot, "K", "B"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "K", "D", "changed"));
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "K", "b", "again"));
  std::vector<std::string> order;
  for (const auto& [name, value] : t.FindKey(RegRoot::ClassesRoot, "K")->Values()) order.push_back(name + "=" + value.text);
  EXPECT_EQ(order, (std::vector<std::string>{"a=a", "c=c", "d=changed", "b=again"}));
  std::string v;
  ASSERT_TRUE(t.GetString(RegRoot::ClassesRoot, "K", "c", v));
  EXPECT_EQ(v, "c");
}

struct BadText {
  const char* name;
  const char* text;
  int line;
};

void PrintTo(const BadText& b, std::ostream* os) { *os << b.name; }

class RegTreeMalformed : public ::testing::TestWithParam<BadText> {};

TEST_P(RegTreeMalformed, IsRefusedWithLineAndTreeIsUntouched) {
  const BadText b = GetParam();
  RegTree t;
  ASSERT_TRUE(t.SetString(RegRoot::ClassesRoot, "Keep", "", "me"));
  const RegStatus st = RegTree::Parse(b.text, t, "test.reg");
  EXPECT_EQ(st.code, RegStatus::Code::Malformed);
  EXPECT_NE(st.message.find("test.reg line " + std::to_string(b.line) + ":"), std::string::npos) << st.message;
  EXPECT_EQ(st.ToHresult(), HRESULT_FROM_WIN32(ERROR_BADDB));
  std::string v;
  EXPECT_TRUE(t.GetString(RegRoot::ClassesRoot, "Keep", "", v));
}

#define HDR "Windows Registry Editor Version 5.00\n\n"
INSTANTIATE_TEST_SUITE_P(
    Texts, RegTreeMalformed,
    ::testing::Values(BadText{"Empty", "", 1}, BadText{"OldHeader", "REGEDIT4\n", 1},
                      BadText{"ValueBeforeSection", HDR "\"a\"=\"b\"\n", 3},
                      BadText{"UnclosedSection", HDR "[HKEY_CLASSES_ROOT\\a\n", 3},
                      BadText{"UnknownRoot", HDR "[HKEY_USERS\\a]\n", 3},
                      BadText{"EmptyKeyName", HDR "[HKEY_CLASSES_ROOT\\a\\\\b]\n", 3},
                      BadText{"EmptyNameAfterPreviousSection", HDR "[HKEY_CLASSES_ROOT\\a]\n[HKEY_CLASSES_ROOT\\a\\]\n", 4},
                      BadText{"EmptyNameInsideExtension",
                              HDR "[HKEY_CLASSES_ROOT\\a]\n[HKEY_CLASSES_ROOT\\a\\b\\\\c]\n", 4},
                      BadText{"DeletionSection", HDR "[-HKEY_CLASSES_ROOT\\a]\n", 3},
                      BadText{"DeletionValue", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=-\n", 4},
                      BadText{"UnclosedString", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=\"abc\n", 5},
                      BadText{"BadEscape", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=\"a\\qb\"\n", 4},
                      BadText{"TextAfterString", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=\"a\" junk\n", 4},
                      BadText{"NoEquals", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\" \"a\"\n", 4},
                      BadText{"LongDword", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=dword:123456789\n", 4},
                      BadText{"EmptyDword", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=dword:\n", 4},
                      BadText{"UnknownType", HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=qword:1\n", 4},
                      BadText{"StrayText", HDR "[HKEY_CLASSES_ROOT\\a]\nhello\n", 4},
                      BadText{"BinaryDataEndsInBackslash",
                              HDR "[HKEY_CLASSES_ROOT\\a]\n\"v\"=hex:01,\\\\\n\n\"next\"=\"kept\"\n", 4}),
    [](const ::testing::TestParamInfo<BadText>& p) { return std::string(p.param.name); });

}  // namespace
