// SPDX-License-Identifier: MIT
// Strict decimal text for the catalogue's documents: numbers are written as
// plain unsigned decimal and read back only in that form, so a sign, a
// fraction, trailing text or an out-of-range value never passes as a number.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brelvane {

// Parses `text` as one or more decimal digits and nothing else, no larger
// than `max`.  False (with *value untouched) otherwise.
[[nodiscard]] inline bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

[[nodiscard]] inline bool ParseU64(std::string_view text, uint64_t* value) {
  return ParseDecimal(text, UINT64_MAX, value);
}

[[nodiscard]] inline bool ParseU32(std::string_view text, uint32_t* value) {
  uint64_t wide;
  if (!ParseDecimal(text, UINT32_MAX, &wide)) return false;
  *value = static_cast<uint32_t>(wide);
  return true;
}

[[nodiscard]] inline bool ParseU16(std::string_view text, uint16_t* value) {
  uint64_t wide;
  if (!ParseDecimal(text, UINT16_MAX, &wide)) return false;
  *value = static_cast<uint16_t>(wide);
  return true;
}

}  // namespace brelvane
