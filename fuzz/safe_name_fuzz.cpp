// SPDX-License-Identifier: MIT
// The file-name check against an independent reading of the same name: a name
// it accepts, joined to a root and normalised, stays strictly inside the root
// and holds no byte that Windows would read as a separator or a drive.
#include <filesystem>
#include <string_view>

#include "catalogue/safe_name.h"
#include "fuzz/fuzz_support.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const brelvane::NameProblem problem = brelvane::CheckRelativeName(name);
  Require(brelvane::NameProblemText(problem) != nullptr, "problem text");
  if (problem != brelvane::NameProblem::kNone) return 0;
  Require(name.find_first_of(std::string_view("\\:\0", 3)) == std::string_view::npos,
          "accepted name without separators of other systems");
  const std::filesystem::path root("/update/root");
  const std::filesystem::path joined = (root / std::string(name)).lexically_normal();
  const std::filesystem::path inside = joined.lexically_relative(root);
  Require(!inside.empty() && *inside.begin() != ".." && *inside.begin() != "." &&
              joined.has_filename(),
          "accepted name stays inside the root and names a file");
  return 0;
}
