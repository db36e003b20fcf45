// SPDX-License-Identifier: MIT
#include "catalogue/seed_diff.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace brelvane {
namespace {

void FetchPart(const PartEntry& part, RangeSet32* parts, uint64_t* bytes) {
  parts->Insert(part.id);
  *bytes += part.length;
}

// The element at position `id` when its id matches, else the first element
// with that id, else null.
template <typename T>
const T* FindById(const std::vector<T>& items, uint32_t id) {
  if (id < items.size() && items[id].id == id) return &items[id];
  const auto found =
      std::find_if(items.begin(), items.end(), [id](const T& item) { return item.id == id; });
  return found == items.end() ? nullptr : &*found;
}

}  // namespace

SeedDiff DiffFileLists(const std::vector<FileEntry>& new_files,
                       const std::vector<FileEntry>& old_files) {
  SeedDiff diff;
  std::unordered_set<std::string_view> new_names;
  for (const FileEntry& file : new_files) new_names.insert(file.name);
  std::unordered_map<std::string_view, const FileEntry*> old_by_name;
  for (const FileEntry& file : old_files) {
    if (new_names.count(file.name) == 0) diff.removed_names.push_back(file.name);
    old_by_name.emplace(file.name, &file);  // keeps the first of a name
  }
  for (const FileEntry& file : new_files) {
    RangeSet32 parts;
    const auto found = old_by_name.find(file.name);
    if (found == old_by_name.end()) {
      for (const PartEntry& part : file.parts) FetchPart(part, &parts, &diff.bytes_to_fetch);
    } else if (found->second->md5 != file.md5) {
      const std::vector<PartEntry>& old_parts = found->second->parts;
      for (size_t i = 0; i < file.parts.size(); ++i) {
        if (i >= old_parts.size() || old_parts[i].md5 != file.parts[i].md5) {
          FetchPart(file.parts[i], &parts, &diff.bytes_to_fetch);
        }
      }
    }
    if (!parts.Empty()) diff.parts_to_fetch[file.id].Merge(parts);
  }
  return diff;
}

void PrintDiff(const SeedDiff& diff, const std::vector<FileEntry>& new_files, std::ostream& out) {
  if (!diff.removed_names.empty()) {
    out << "File need to delete :\n";
    for (const std::string& name : diff.removed_names) out << '\t' << name << '\n';
  }
  if (diff.parts_to_fetch.empty()) return;
  out << "File need to update :\n";
  out << "PartID Start Length\n";
  std::vector<FileEntry> sorted = new_files;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const FileEntry& a, const FileEntry& b) { return a.id < b.id; });
  for (const auto& [file_id, part_ids] : diff.parts_to_fetch) {
    const FileEntry* file = FindById(sorted, file_id);
    out << '\t' << (file != nullptr ? file->name : std::string("?")) << '\n';
    for (const uint32_t part_id : part_ids) {
      const PartEntry* part = file != nullptr ? FindById(file->parts, part_id) : nullptr;
      out << "\t\t" << part_id << '\t';
      if (part != nullptr) {
        out << part->start << '\t' << part->length << '\n';
      } else {
        out << "?\t?\n";
      }
    }
  }
}

}  // namespace brelvane
