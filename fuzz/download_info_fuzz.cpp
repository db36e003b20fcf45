// SPDX-License-Identifier: MIT
// The resume file as a crash or a hand edit may leave it: read from disk; a
// file that reads is written out again and reads back to the same parts.
#include <string>
#include <string_view>

#include "catalogue/download_info.h"
#include "fuzz/fuzz_support.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = brelvane::fuzz::WriteScratch(
      ".Download_Info_Data", std::string_view(reinterpret_cast<const char*>(data), size));
  brelvane::DownloadInfoData info;
  if (!brelvane::ReadDownloadInfo(path, &info)) return 0;
  for (const auto& [id, parts] : info.not_complete) Require(!parts.Empty(), "listed files miss parts");
  const std::string again_path =
      brelvane::fuzz::WriteScratch("again", brelvane::DownloadInfoText(info.not_complete));
  brelvane::DownloadInfoData again;
  Require(brelvane::ReadDownloadInfo(again_path, &again) &&
              again.not_complete == info.not_complete,
          "a resume file that reads is written and read back unchanged");
  return 0;
}
