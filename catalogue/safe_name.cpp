// SPDX-License-Identifier: MIT
#include "catalogue/safe_name.h"

#include <array>

namespace brelvane {
namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// Windows resolves these names to devices whatever the extension.
bool IsReservedDeviceName(std::string_view component) {
  const std::string_view base = component.substr(0, component.find('.'));
  static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
  for (const std::string_view reserved : kPlain) {
    if (EqualsIgnoringCase(base, reserved)) return true;
  }
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9') {
    const std::string_view stem = base.substr(0, 3);
    return EqualsIgnoringCase(stem, "COM") || EqualsIgnoringCase(stem, "LPT");
  }
  return false;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

NameProblem CheckRelativeName(std::string_view name) {
  if (name.empty()) return NameProblem::kEmpty;
  if (name.front() == '/') return NameProblem::kAbsolute;
  if (name.size() >= 2 && IsLetter(name[0]) && name[1] == ':') return NameProblem::kDriveLetter;
  for (const char c : name) {
    if (c == '\\') return NameProblem::kBackslash;
    if (c == ':') return NameProblem::kColon;
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return NameProblem::kControlCharacter;
  }
  size_t begin = 0;
  for (;;) {
    const size_t slash = name.find('/', begin);
    const std::string_view component =
        name.substr(begin, slash == std::string_view::npos ? std::string_view::npos
                                                           : slash - begin);
    if (component.empty()) return NameProblem::kEmptyComponent;
    if (component == ".") return NameProblem::kDotComponent;
    if (component == "..") return NameProblem::kDotDotComponent;
    if (IsReservedDeviceName(component)) return NameProblem::kReservedDeviceName;
    if (slash == std::string_view::npos) break;
    begin = slash + 1;
  }
  return NameProblem::kNone;
}

const char* NameProblemText(NameProblem problem) {
  switch (problem) {
    case NameProblem::kNone: return "is safe";
    case NameProblem::kEmpty: return "is empty";
    case NameProblem::kAbsolute: return "is absolute";
    case NameProblem::kDriveLetter: return "starts with a drive letter";
    case NameProblem::kColon: return "contains \":\"";
    case NameProblem::kBackslash: return "contains a backslash";
    case NameProblem::kControlCharacter: return "contains a control character";
    case NameProblem::kEmptyComponent: return "has an empty component";
    case NameProblem::kDotComponent: return "has a \".\" component";
    case NameProblem::kDotDotComponent: return "has a \"..\" component";
    case NameProblem::kReservedDeviceName: return "has a component Windows reserves for a device";
  }
  return "is not valid";
}

}  // namespace brelvane
