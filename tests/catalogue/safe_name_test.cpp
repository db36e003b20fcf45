// SPDX-License-Identifier: MIT
// The verdict for each kind of name; that accepted names stay inside the root
// on any input: fuzz/safe_name.
#include "catalogue/safe_name.h"

#include <gtest/gtest.h>

namespace brelvane {
namespace {

TEST(SafeNameTest, NamesThatLeaveTheRootOrNameADeviceAreRefusedWithTheirReason) {
  using enum NameProblem;
  std::vector<std::pair<std::string, NameProblem>> cases = {
      {"", kEmpty}, {"/etc/passwd", kAbsolute}, {"/", kAbsolute}, {"C:/Windows/win.ini", kDriveLetter},
      {"c:file", kDriveLetter}, {"z:", kDriveLetter}, {"a/b:stream", kColon}, {"file.txt:$DATA", kColon},
      {"1:", kColon}, {"a\\b", kBackslash}, {"\\\\server\\share", kBackslash}, {"..\\x", kBackslash},
      {"a//b", kEmptyComponent}, {"a/", kEmptyComponent}, {".", kDotComponent}, {"./a", kDotComponent},
      {"a/./b", kDotComponent}, {"..", kDotDotComponent}, {"../a", kDotDotComponent},
      {"a/../../b", kDotDotComponent}, {"a/..", kDotDotComponent}};
  for (const char byte : {0x00, 0x01, 0x09, 0x0A, 0x0D, 0x1B, 0x1F, 0x7F})
    cases.emplace_back(std::string("a") + byte + "b", kControlCharacter);
  for (const char* name : {"CON", "PRN", "AUX", "NUL", "con", "Nul", "aUx", "COM1", "com9", "LPT1", "lpt9",
                           "NUL.txt", "con.tar.gz", "dir/CON", "dir/com1.log/file", "Com5.", "nul/inside"})
    cases.emplace_back(name, kReservedDeviceName);
  for (const char* name : {"a", "readme.txt", "data/game.pak", "a b/c d.txt", "...", "..a", "a..", ".hidden",
                           "dir/.config", "CONFIG.SYS", "console.log", "COM10", "LPT0", "COM", "nul_device",
                           "xcon", "a/b/c/d/e", "~", "a%2e%2e", "\xe4\xb8\xad/\xe6\x96\x87\xe4\xbb\xb6.dat"})
    cases.emplace_back(name, kNone);
  for (const auto& [name, problem] : cases) {
    EXPECT_EQ(CheckRelativeName(name), problem) << "\"" << name << "\"";
    EXPECT_EQ(IsSafeRelativeName(name), problem == kNone) << "\"" << name << "\"";
  }
}

}  // namespace
}  // namespace brelvane
