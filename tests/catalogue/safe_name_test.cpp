// SPDX-License-Identifier: MIT
#include "catalogue/safe_name.h"

#include <gtest/gtest.h>

#include <string>

namespace brelvane {
namespace {

struct Case {
  std::string name;
  NameProblem problem;
};

TEST(SafeNameTest, AcceptsOrdinaryRelativeNames) {
  for (const char* name : {"a", "readme.txt", "data/game.pak", "a b/c d.txt", "...", "..a",
                           "a..", ".hidden", "dir/.config", "CONFIG.SYS", "console.log",
                           "COM10", "LPT0", "COM", "nul_device", "xcon", "a/b/c/d/e",
                           "\xe4\xb8\xad\xe6\x96\x87/\xe6\x96\x87\xe4\xbb\xb6.dat", "~", "a%2e%2e"}) {
    EXPECT_EQ(CheckRelativeName(name), NameProblem::kNone) << name;
    EXPECT_TRUE(IsSafeRelativeName(name)) << name;
  }
}

TEST(SafeNameTest, RefusesNamesThatLeaveTheRoot) {
  const Case cases[] = {
      {"", NameProblem::kEmpty},
      {"/etc/passwd", NameProblem::kAbsolute},
      {"/", NameProblem::kAbsolute},
      {"C:/Windows/win.ini", NameProblem::kDriveLetter},
      {"c:file", NameProblem::kDriveLetter},
      {"z:", NameProblem::kDriveLetter},
      {"a/b:stream", NameProblem::kColon},
      {"file.txt:$DATA", NameProblem::kColon},
      {"1:", NameProblem::kColon},
      {"a\\b", NameProblem::kBackslash},
      {"\\\\server\\share", NameProblem::kBackslash},
      {"..\\x", NameProblem::kBackslash},
      {"a//b", NameProblem::kEmptyComponent},
      {"a/", NameProblem::kEmptyComponent},
      {".", NameProblem::kDotComponent},
      {"./a", NameProblem::kDotComponent},
      {"a/./b", NameProblem::kDotComponent},
      {"..", NameProblem::kDotDotComponent},
      {"../a", NameProblem::kDotDotComponent},
      {"a/../../b", NameProblem::kDotDotComponent},
      {"a/..", NameProblem::kDotDotComponent},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckRelativeName(c.name), c.problem) << "\"" << c.name << "\"";
  }
}

TEST(SafeNameTest, RefusesControlCharacters) {
  for (const int byte : {0x01, 0x09, 0x0A, 0x0D, 0x1B, 0x1F, 0x7F}) {
    const std::string name = std::string("a") + static_cast<char>(byte) + "b";
    EXPECT_EQ(CheckRelativeName(name), NameProblem::kControlCharacter) << byte;
  }
  EXPECT_EQ(CheckRelativeName(std::string("a\0b", 3)), NameProblem::kControlCharacter);
}

TEST(SafeNameTest, RefusesReservedDeviceNamesInAnyCaseAndWithExtensions) {
  for (const char* name :
       {"CON", "PRN", "AUX", "NUL", "con", "Nul", "aUx", "COM1", "com9", "LPT1", "lpt9",
        "NUL.txt", "con.tar.gz", "dir/CON", "dir/com1.log/file", "Com5.", "nul/inside"}) {
    EXPECT_EQ(CheckRelativeName(name), NameProblem::kReservedDeviceName) << name;
  }
}

}  // namespace
}  // namespace brelvane
