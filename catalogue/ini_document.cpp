// SPDX-License-Identifier: MIT
#include "catalogue/ini_document.h"

#include <fstream>
#include <iterator>

#include "catalogue/decimal.h"
#include "platform/atomic_write.h"

namespace brelvane {
namespace {

constexpr char kParseError[] = "Parse Error.";
constexpr char kCannotOpen[] = "Cannot Open File.";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
}

}  // namespace

void IniDocument::SetError(const char* text, std::string line, uint32_t number) {
  error_text_ = text;
  error_line_ = std::move(line);
  error_line_number_ = number;
}

bool IniDocument::Load(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    SetError(kCannotOpen, path, 0);
    return false;
  }
  std::string text;
  char block[65536];
  while (in.read(block, sizeof(block)) || in.gcount() > 0) {
    if (text.size() + static_cast<size_t>(in.gcount()) > kMaxFileBytes) {
      SetError(kCannotOpen, path, 0);
      return false;
    }
    text.append(block, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) {
    SetError(kCannotOpen, path, 0);
    return false;
  }
  return Parse(text);
}

bool IniDocument::Parse(std::string_view text) {
  sections_.clear();
  std::string section;  // Lines before the first header: the unnamed section.
  uint32_t number = 0;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view raw = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section.assign(Trim(line.substr(1, line.size() - 2)));
      sections_[section];
      continue;
    }
    const size_t at = line.find(delimiter_);
    if (at == std::string_view::npos) {
      SetError(kParseError, std::string(line), number);
      return false;
    }
    sections_[section][std::string(Trim(line.substr(0, at)))] =
        std::string(Trim(line.substr(at + 1)));
  }
  return true;
}

std::string IniDocument::Print() const {
  std::string text;
  auto print_keys = [&](const Section& keys) {
    for (const auto& [key, value] : keys) {
      text += key;
      text += ' ';
      text += delimiter_;
      text += ' ';
      text += value;
      text += '\n';
    }
  };
  const auto unnamed = sections_.find(std::string());
  if (unnamed != sections_.end() && !unnamed->second.empty()) {
    print_keys(unnamed->second);
    text += '\n';
  }
  for (const auto& [name, keys] : sections_) {
    if (name.empty()) continue;
    text += '[';
    text += name;
    text += "]\n";
    print_keys(keys);
    text += '\n';
  }
  return text;
}

bool IniDocument::Save(const std::string& path) {
  if (!platform::WriteFileAtomically(path, Print())) {
    SetError(kCannotOpen, path, 0);
    return false;
  }
  return true;
}

const IniDocument::Section* IniDocument::FindSection(const std::string& section) const {
  const auto found = sections_.find(section);
  return found == sections_.end() ? nullptr : &found->second;
}

bool IniDocument::HasKey(const std::string& section, const std::string& key) const {
  const Section* keys = FindSection(section);
  return keys != nullptr && keys->count(key) != 0;
}

bool IniDocument::Get(const std::string& section, const std::string& key,
                      std::string* value) const {
  const Section* keys = FindSection(section);
  if (keys == nullptr) return false;
  const auto found = keys->find(key);
  if (found == keys->end()) return false;
  *value = found->second;
  return true;
}

bool IniDocument::Get(const std::string& section, const std::string& key, bool* value) const {
  std::string text;
  if (!Get(section, key, &text) || (text != "0" && text != "1")) return false;
  *value = text == "1";
  return true;
}

bool IniDocument::Get(const std::string& section, const std::string& key,
                      uint64_t* value) const {
  std::string text;
  return Get(section, key, &text) && ParseU64(text, value);
}

bool IniDocument::Set(const std::string& section, const std::string& key,
                      std::string_view value) {
  const std::string_view trimmed = Trim(value);
  if (trimmed.empty() || trimmed.find_first_of(std::string_view("\n\0", 2)) != trimmed.npos) {
    return false;
  }
  // Names that would not read back as themselves are refused too.
  if (HasLineBreakOrNul(section) || Trim(section) != section || HasLineBreakOrNul(key) ||
      Trim(key) != key || key.find(delimiter_) != std::string::npos ||
      (!key.empty() && (key.front() == '#' || key.front() == '['))) {
    return false;
  }
  sections_[section][key] = std::string(trimmed);
  return true;
}

bool IniDocument::Set(const std::string& section, const std::string& key, uint64_t value) {
  return Set(section, key, std::to_string(value));
}

void IniDocument::PrintError(std::ostream& out) const {
  out << error_text_ << '\n'
      << "At line " << error_line_number_ << '\n'
      << "Error Line: " << error_line_ << '\n';
}

}  // namespace brelvane
