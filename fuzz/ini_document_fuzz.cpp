// SPDX-License-Identifier: MIT
// The INI reader on any text; a document that reads prints to a text that
// reads back to the same sections (an unnamed section without keys is not
// printed, so it is not expected back).
#include <string_view>

#include "catalogue/ini_document.h"
#include "fuzz/fuzz_support.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  brelvane::IniDocument doc;
  if (!doc.Parse(text)) {
    Require(doc.error_text() == "Parse Error." && doc.error_line_number() > 0, "parse error");
    return 0;
  }
  auto sections = doc.sections();
  if (const auto unnamed = sections.find(""); unnamed != sections.end() && unnamed->second.empty()) {
    sections.erase(unnamed);
  }
  brelvane::IniDocument again;
  Require(again.Parse(doc.Print()) && again.sections() == sections,
          "a document that reads prints back to itself");
  return 0;
}
