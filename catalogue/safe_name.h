// SPDX-License-Identifier: MIT
// The check every file name from a file list passes before the updater
// creates, writes or deletes anything by it.  A name is a path relative to
// the update root with "/" between levels; anything that could reach outside
// the root, or that Windows would treat as a device or cannot store, is
// refused:
//   - the empty name;
//   - an absolute name ("/..."), a drive letter ("C:..."), any ":" and any
//     backslash;
//   - an empty component ("a//b", "a/"), a "." or ".." component;
//   - a control character (bytes 0x01-0x1F, 0x7F; NUL cannot occur in a
//     std::string_view taken from a document, but is refused too);
//   - a component Windows reserves for devices: CON, PRN, AUX, NUL, COM1-COM9,
//     LPT1-LPT9, in any case, alone or followed by an extension ("nul.txt",
//     "Com1.tar.gz").
// Everything else is accepted, including spaces, non-ASCII bytes and names
// that merely contain a reserved word ("CONFIG", "console.log").
//
// Thread safety: pure functions.
#pragma once

#include <string_view>

namespace brelvane {

enum class NameProblem {
  kNone,
  kEmpty,
  kAbsolute,
  kDriveLetter,
  kColon,
  kBackslash,
  kControlCharacter,
  kEmptyComponent,
  kDotComponent,
  kDotDotComponent,
  kReservedDeviceName,
};

// The first problem found in `name`, or kNone when it is safe.
NameProblem CheckRelativeName(std::string_view name);

inline bool IsSafeRelativeName(std::string_view name) {
  return CheckRelativeName(name) == NameProblem::kNone;
}

// A short English description ("has a \"..\" component").
const char* NameProblemText(NameProblem problem);

}  // namespace brelvane
