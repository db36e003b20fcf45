// SPDX-License-Identifier: MIT
// The torrent document as a mirror serves it: read, told apart from a file
// list, every file's part table and name checked as the updater does, and a
// document that reads is written and read back unchanged.
#include <string>
#include <string_view>

#include "catalogue/safe_name.h"
#include "catalogue/seed_document.h"
#include "fuzz/fuzz_support.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)brelvane::DetectDocumentKind(text);
  brelvane::SeedInfo info;
  if (!brelvane::ParseTorrent(text, &info)) return 0;
  std::string why;
  (void)brelvane::CheckPartLayout(info.file, &why);
  (void)brelvane::IsSafeRelativeName(info.file.name);
  brelvane::SeedInfo again;
  Require(brelvane::ParseTorrent(brelvane::TorrentText(info), &again) && again == info,
          "a torrent that reads is written and read back unchanged");
  return 0;
}
