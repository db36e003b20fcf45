// SPDX-License-Identifier: MIT
// A small INI document: sections of "key = value" lines.  It is the format
// of the resume file (catalogue/download_info.h) and of the include filter
// that BuildFileList accepts.
//
// Reading: every line is trimmed of spaces, tabs and carriage returns; empty
// lines and lines starting with "#" are skipped; "[name]" opens (or reopens)
// a section; any other line must hold the delimiter, splitting it into a
// trimmed key and a trimmed value (a later value replaces an earlier one).
// Lines before the first header belong to the section with the empty name.
// Anything else stops the parse with "Parse Error." and the line.
//
// Printing: sections in byte-wise order of their names, each as "[name]",
// then "key = value" per key in byte-wise order, then an empty line.  The
// unnamed section, when it has keys, is printed first without a header.
//
// Thread safety: none; confine a document to one thread.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>

namespace brelvane {

class IniDocument {
 public:
  using Section = std::map<std::string, std::string>;

  explicit IniDocument(char delimiter = '=') : delimiter_(delimiter) {}

  // Reads the file at `path`, replacing the content.  On failure error_text()
  // is "Cannot Open File." (error_line() the path, line number 0) or
  // "Parse Error." (the failing line and its 1-based number).
  [[nodiscard]] bool Load(const std::string& path);
  // The same for text already in memory.
  [[nodiscard]] bool Parse(std::string_view text);

  // Replaces the file at `path` with Print(), atomically: a crash leaves the
  // old file or the new one.  On failure error_text() is "Cannot Open File.".
  [[nodiscard]] bool Save(const std::string& path);
  std::string Print() const;

  // True when the key exists (and, for the typed forms, converts).  A bool
  // is "0" or "1"; numbers are plain unsigned decimal.
  [[nodiscard]] bool Get(const std::string& section, const std::string& key,
                         std::string* value) const;
  [[nodiscard]] bool Get(const std::string& section, const std::string& key, bool* value) const;
  [[nodiscard]] bool Get(const std::string& section, const std::string& key,
                         uint64_t* value) const;
  [[nodiscard]] bool HasKey(const std::string& section, const std::string& key) const;

  // Stores the value, trimmed.  Refused (nothing stored) when the trimmed
  // value is empty or holds a line feed or NUL, or when the section or key
  // could not be read back as written (line breaks, NUL, surrounding blanks,
  // a key holding the delimiter or starting with "#" or "[").
  [[nodiscard]] bool Set(const std::string& section, const std::string& key,
                         std::string_view value);
  [[nodiscard]] bool Set(const std::string& section, const std::string& key, uint64_t value);

  void Clear() { sections_.clear(); }
  const std::map<std::string, Section>& sections() const { return sections_; }
  // The keys of `section`, or null when it does not exist.
  const Section* FindSection(const std::string& section) const;

  // Writes error_text(), "At line " and the number, "Error Line: " and the
  // line, each on its own line.
  void PrintError(std::ostream& out) const;
  const std::string& error_text() const { return error_text_; }
  const std::string& error_line() const { return error_line_; }
  uint32_t error_line_number() const { return error_line_number_; }

  // Files larger than this are not loaded.
  static constexpr uint64_t kMaxFileBytes = uint64_t{256} << 20;

 private:
  void SetError(const char* text, std::string line, uint32_t number);

  std::map<std::string, Section> sections_;
  char delimiter_;
  uint32_t error_line_number_ = 0;
  std::string error_line_;
  std::string error_text_;
};

}  // namespace brelvane
