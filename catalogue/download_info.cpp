// SPDX-License-Identifier: MIT
#include "catalogue/download_info.h"

#include <set>
#include <vector>

#include "catalogue/ini_document.h"
#include "platform/atomic_write.h"

namespace brelvane {
namespace {

constexpr char kGlobal[] = "Global";
constexpr char kAllFileComplete[] = "AllFileComplete";
constexpr char kNotCompleteFileId[] = "NotCompleteFileId";
constexpr char kNotCompletePartId[] = "NotCompletePartId";

// Splits an id list on "|".  A separator directly after another one, or at
// the very start, stays part of the next token (which then fails to parse),
// so "3||12" gives "3" and "|12"; nothing follows a final separator.
std::vector<std::string_view> SplitIds(std::string_view list) {
  std::vector<std::string_view> tokens;
  size_t begin = 0;
  while (begin < list.size()) {
    const size_t bar = list.find('|', begin + 1);
    if (bar == std::string_view::npos) {
      tokens.push_back(list.substr(begin));
      break;
    }
    tokens.push_back(list.substr(begin, bar - begin));
    begin = bar + 1;
  }
  return tokens;
}

std::string JoinIds(const RangeSet32& ids) {
  std::string text;
  for (const uint32_t id : ids) {
    if (!text.empty()) text += '|';
    text += std::to_string(id);
  }
  return text;
}

}  // namespace

bool ParseIdToken(std::string_view token, uint32_t* id) {
  size_t i = 0;
  while (i < token.size() && (token[i] == ' ' || token[i] == '\t')) ++i;
  uint64_t value = 0;
  const size_t first_digit = i;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(token[i] - '0');
    if (value > UINT32_MAX) return false;
  }
  if (i == first_digit) return false;
  if (value == 0 && token.find_first_not_of('0') != std::string_view::npos) return false;
  *id = static_cast<uint32_t>(value);
  return true;
}

bool ReadDownloadInfo(const std::string& path, DownloadInfoData* data) {
  IniDocument doc('=');
  if (!doc.Load(path)) return false;
  if (!doc.Get(kGlobal, kAllFileComplete, &data->all_file_complete)) return false;
  if (data->all_file_complete) return true;
  std::string file_ids;
  if (!doc.Get(kGlobal, kNotCompleteFileId, &file_ids)) return false;
  const std::vector<std::string_view> file_tokens = SplitIds(file_ids);
  // The writer never stores an empty list (it writes AllFileComplete = 1
  // instead); an empty one is a damaged file, not a finished download.
  if (file_tokens.empty()) return false;
  // Every file section must be listed.  The list is the last line written,
  // so a file cut inside it lists fewer files than it has sections.
  std::set<std::string_view> listed(file_tokens.begin(), file_tokens.end());
  for (const auto& [name, keys] : doc.sections()) {
    const bool numeric =
        !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    if (numeric && listed.count(name) == 0) return false;
  }
  for (const std::string_view file_token : file_tokens) {
    uint32_t file_id;
    if (!ParseIdToken(file_token, &file_id)) return false;
    std::string part_ids;
    if (!doc.Get(std::string(file_token), kNotCompletePartId, &part_ids)) return false;
    const std::vector<std::string_view> part_tokens = SplitIds(part_ids);
    if (part_tokens.empty()) continue;
    RangeSet32 parts;
    for (const std::string_view part_token : part_tokens) {
      uint32_t part_id;
      if (!ParseIdToken(part_token, &part_id)) return false;
      parts.Insert(part_id);
    }
    data->not_complete[file_id].Merge(parts);
  }
  return true;
}

std::string DownloadInfoText(const std::map<uint32_t, RangeSet32>& not_complete) {
  IniDocument doc('=');
  std::string file_ids;
  for (const auto& [file_id, parts] : not_complete) {
    if (parts.Empty()) continue;
    if (!file_ids.empty()) file_ids += '|';
    file_ids += std::to_string(file_id);
    (void)doc.Set(std::to_string(file_id), kNotCompletePartId, JoinIds(parts));
  }
  if (file_ids.empty()) {
    (void)doc.Set(kGlobal, kAllFileComplete, "1");
  } else {
    (void)doc.Set(kGlobal, kAllFileComplete, "0");
    (void)doc.Set(kGlobal, kNotCompleteFileId, file_ids);
  }
  return doc.Print();
}

bool WriteDownloadInfo(const std::map<uint32_t, RangeSet32>& not_complete,
                       const std::string& path) {
  return platform::WriteFileAtomically(path, DownloadInfoText(not_complete));
}

}  // namespace brelvane
