// SPDX-License-Identifier: MIT
#include "catalogue/seed_document.h"

#include <tinyxml.h>
#include <zlib.h>

#include <memory>
#include <unordered_set>

#include "catalogue/decimal.h"
#include "catalogue/xml_reader.h"

namespace brelvane {
namespace {

// Zero bytes after a text given to TinyXML (see ParseDocument).
constexpr size_t kParsePadding = 4;

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The attribute's text, or null when absent.
const char* Text(const TiXmlElement& element, const char* name) {
  return element.Attribute(name);
}
const char* Text(const XmlReader& reader, const char* name) { return reader.Attribute(name); }

template <typename Element>
bool ReadU32(const Element& element, const char* name, uint32_t* value) {
  const char* text = Text(element, name);
  return text != nullptr && ParseU32(text, value);
}

template <typename Element>
bool ReadU64(const Element& element, const char* name, uint64_t* value) {
  const char* text = Text(element, name);
  return text != nullptr && ParseU64(text, value);
}

template <typename Element>
bool ReadDigest(const Element& element, const char* name, Md5Digest* digest) {
  const char* text = Text(element, name);
  if (text == nullptr) return false;
  *digest = HexToDigest(text);
  return true;
}

// Reads the first word of the attribute (leading white space skipped, the
// text cut at the next white space), as stream extraction does.  An empty
// word does not read.
bool ReadWord(const TiXmlElement& element, const char* name, std::string* word) {
  const char* text = Text(element, name);
  if (text == nullptr) return false;
  std::string_view view(text);
  size_t begin = 0;
  while (begin < view.size() && IsXmlSpace(view[begin])) ++begin;
  size_t end = begin;
  while (end < view.size() && !IsXmlSpace(view[end])) ++end;
  if (end == begin) return false;
  word->assign(view.substr(begin, end - begin));
  return true;
}

// Parses a whole text after the bounds scan.  A text TinyXML cannot parse
// completely is refused: a cut-off document must not pass as a shorter one.
bool ParseDocument(std::string_view text, const DocumentBounds& bounds, TiXmlDocument* doc,
                   const TiXmlElement** root, DocumentFault* fault) {
  // A text beyond the bounds is refused before it is copied.
  const DocumentFault found = CheckDocument(text, bounds);
  if (fault != nullptr) *fault = found;
  if (found != DocumentFault::kNone) return false;
  // TinyXML wants a terminated string.  In UTF-8 mode it steps over a
  // character by its lead byte's length, which at the end of a text reaches
  // up to three bytes past the terminator: those bytes are ours, and zero.
  std::string terminated(text);
  terminated.append(kParsePadding, '\0');
  doc->Parse(terminated.c_str());
  if (doc->Error()) return false;
  *root = doc->FirstChildElement("Root");
  return *root != nullptr;
}

// Reads the gzip (or plain) file at `path` block by block, handing each
// block to `consume` until the end, a read error or `consume` refuses.
// True when the whole stream was read and its trailer checked.
template <typename Consume>
bool InflateBlocks(const std::string& path, Consume consume) {
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  constexpr unsigned kBlock = 65536;
  std::unique_ptr<char[]> block(new char[kBlock]);
  bool ok = true;
  for (;;) {
    const int got = gzread(file, block.get(), kBlock);
    if (got < 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    if (!consume(std::string_view(block.get(), static_cast<size_t>(got)))) {
      ok = false;
      break;
    }
  }
  // gzread reports a stream cut short only as its end; gzclose tells.
  if (gzclose(file) != Z_OK) ok = false;
  return ok;
}

// Reads a file list from its whole text without a tree, with the meaning
// ReadExist gives the same document: the first top-level Root; in it the
// first Exist and the first NonExist; in each, the elements from the first
// File on (and in each file the elements from its first Part on).  Only a
// text that reads to its end counts.
bool ReadFileListText(std::string_view text, FileList* list) {
  *list = FileList{};  // a list read before, or half read, leaves nothing behind
  XmlReader reader(text);
  enum class In { kNothing, kRoot, kExist, kNonExist };
  In in = In::kNothing;
  bool root_seen = false, exist_seen = false, non_exist_seen = false;
  bool files_started = false, parts_started = false, names_started = false;
  FileEntry* file = nullptr;  // the file element open at depth 3
  for (;;) {
    const XmlReader::Event event = reader.Next();
    if (event == XmlReader::Event::kDone) return root_seen;
    if (event == XmlReader::Event::kError) return false;
    const size_t depth = reader.depth();
    const std::string_view name = reader.name();
    if (event == XmlReader::Event::kEnd) {
      if (depth == 2 && file != nullptr) {  // a file element ended
        file = nullptr;
        parts_started = false;
      } else if (depth == 1 && in != In::kRoot && in != In::kNothing) {
        in = In::kRoot;
      } else if (depth == 0 && in == In::kRoot) {
        in = In::kNothing;
      }
      continue;
    }
    if (depth == 1) {
      if (!root_seen && name == "Root") {
        root_seen = true;
        in = In::kRoot;
      }
    } else if (depth == 2 && in == In::kRoot) {
      if (!exist_seen && name == "Exist") {
        exist_seen = true;
        in = In::kExist;
      } else if (!non_exist_seen && name == "NonExist") {
        non_exist_seen = true;
        in = In::kNonExist;
      }
    } else if (depth == 3 && in == In::kExist && (files_started || name == "File")) {
      files_started = true;
      FileEntry entry;
      const char* file_name = reader.Attribute("name");
      if (!ReadU32(reader, "id", &entry.id) || file_name == nullptr ||
          !ReadU64(reader, "size", &entry.size) || !ReadDigest(reader, "md5", &entry.md5)) {
        return false;
      }
      entry.name = file_name;
      list->files.push_back(std::move(entry));
      file = &list->files.back();
    } else if (depth == 3 && in == In::kNonExist && (names_started || name == "File")) {
      names_started = true;
      if (const char* delete_name = reader.Attribute("name")) {
        list->delete_names.emplace_back(delete_name);
      }
    } else if (depth == 4 && file != nullptr && (parts_started || name == "Part")) {
      parts_started = true;
      PartEntry part;
      if (!ReadU32(reader, "id", &part.id) || !ReadU64(reader, "start", &part.start) ||
          !ReadU32(reader, "length", &part.length) || !ReadDigest(reader, "md5", &part.md5)) {
        return false;
      }
      file->parts.push_back(part);
    }
  }
}

TiXmlElement* AddChild(TiXmlNode* parent, const char* name) {
  return parent->LinkEndChild(new TiXmlElement(name))->ToElement();
}

void SetNumber(TiXmlElement* element, const char* name, uint64_t value) {
  element->SetAttribute(name, std::to_string(value).c_str());
}

void AddFile(TiXmlElement* exist, const FileEntry& file) {
  TiXmlElement* element = AddChild(exist, "File");
  SetNumber(element, "id", file.id);
  element->SetAttribute("name", file.name.c_str());
  SetNumber(element, "size", file.size);
  element->SetAttribute("md5", DigestToHex(file.md5).c_str());
  for (const PartEntry& part : file.parts) {
    TiXmlElement* part_element = AddChild(element, "Part");
    SetNumber(part_element, "id", part.id);
    SetNumber(part_element, "start", part.start);
    SetNumber(part_element, "length", part.length);
    part_element->SetAttribute("md5", DigestToHex(part.md5).c_str());
  }
}

// The formatted printing form, plus the one line feed that follows a
// document.
std::string Print(const TiXmlDocument& doc) {
  TiXmlPrinter printer;
  printer.SetIndent("    ");
  printer.SetLineBreak("\n");
  doc.Accept(&printer);
  std::string text = printer.Str();
  text += '\n';
  return text;
}

}  // namespace

bool ReadExist(const TiXmlElement& root, std::vector<FileEntry>* files,
               std::vector<std::string>* delete_names) {
  if (const TiXmlElement* exist = root.FirstChildElement("Exist")) {
    for (const TiXmlElement* element = exist->FirstChildElement("File"); element != nullptr;
         element = element->NextSiblingElement()) {
      FileEntry file;
      if (!ReadU32(*element, "id", &file.id)) return false;
      const char* name = Text(*element, "name");
      if (name == nullptr) return false;
      file.name = name;
      if (!ReadU64(*element, "size", &file.size)) return false;
      if (!ReadDigest(*element, "md5", &file.md5)) return false;
      files->push_back(std::move(file));
      FileEntry& added = files->back();
      for (const TiXmlElement* part_element = element->FirstChildElement("Part");
           part_element != nullptr; part_element = part_element->NextSiblingElement()) {
        PartEntry part;
        if (!ReadU32(*part_element, "id", &part.id)) return false;
        if (!ReadU64(*part_element, "start", &part.start)) return false;
        if (!ReadU32(*part_element, "length", &part.length)) return false;
        if (!ReadDigest(*part_element, "md5", &part.md5)) return false;
        added.parts.push_back(part);
      }
    }
  }
  if (delete_names != nullptr) {
    if (const TiXmlElement* non_exist = root.FirstChildElement("NonExist")) {
      for (const TiXmlElement* element = non_exist->FirstChildElement("File");
           element != nullptr; element = element->NextSiblingElement()) {
        if (const char* name = Text(*element, "name")) delete_names->emplace_back(name);
      }
    }
  }
  return true;
}

bool ParseTorrent(std::string_view text, SeedInfo* info, DocumentFault* fault) {
  TiXmlDocument doc;
  const TiXmlElement* root = nullptr;
  if (!ParseDocument(text, kTorrentBounds, &doc, &root, fault)) return false;

  if (const TiXmlElement* server = root->FirstChildElement("Server")) {
    for (const TiXmlElement* http = server->FirstChildElement("Http"); http != nullptr;
         http = http->NextSiblingElement("Http")) {
      std::string url;
      if (ReadWord(*http, "url", &url)) info->http_urls.push_back(std::move(url));
    }
    for (const TiXmlElement* tracker = server->FirstChildElement("Tracker"); tracker != nullptr;
         tracker = tracker->NextSiblingElement("Tracker")) {
      TrackerEntry entry;
      const char* port = Text(*tracker, "port");
      if (ReadWord(*tracker, "ip", &entry.ip) && port != nullptr &&
          ParseU16(port, &entry.port)) {
        info->trackers.push_back(std::move(entry));
      }
    }
  }
  if (const TiXmlElement* extra = root->FirstChildElement("Extra")) {
    if (const TiXmlElement* total = extra->FirstChildElement("TotalSize")) {
      uint64_t size;
      if (ReadU64(*total, "size", &size)) info->total_size = size;
    }
  }
  std::vector<FileEntry> files;
  if (!ReadExist(*root, &files, nullptr) || files.empty()) return false;
  info->file = std::move(files.front());
  return true;
}

bool ReadTorrent(std::istream& in, SeedInfo* info) {
  // One byte past the bound is enough to refuse.
  std::string text(static_cast<size_t>(kTorrentBounds.max_bytes) + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return ParseTorrent(text, info);
}

std::string TorrentText(const SeedInfo& info) {
  TiXmlDocument doc;
  TiXmlElement* root = AddChild(&doc, "Root");
  TiXmlElement* server = AddChild(root, "Server");
  for (const std::string& url : info.http_urls) {
    AddChild(server, "Http")->SetAttribute("url", url.c_str());
  }
  for (const TrackerEntry& tracker : info.trackers) {
    TiXmlElement* element = AddChild(server, "Tracker");
    element->SetAttribute("ip", tracker.ip.c_str());
    element->SetAttribute("port", std::to_string(static_cast<int>(tracker.port)).c_str());
  }
  SetNumber(AddChild(AddChild(root, "Extra"), "TotalSize"), "size", info.total_size);
  AddFile(AddChild(root, "Exist"), info.file);
  AddChild(root, "NonExist");
  return Print(doc);
}

bool WriteTorrent(const SeedInfo& info, std::ostream& out) {
  out << TorrentText(info);
  out.flush();
  return static_cast<bool>(out);
}

bool ParseFileList(std::string_view text, FileList* list, DocumentFault* fault) {
  const DocumentFault found = CheckDocument(text, kFileListBounds);
  if (fault != nullptr) *fault = found;
  return found == DocumentFault::kNone && ReadFileListText(text, list);
}

DocumentKind DetectDocumentKind(std::string_view text) {
  if (CheckDocument(text, kFileListBounds) != DocumentFault::kNone) {
    return DocumentKind::kNotADocument;
  }
  // Walked, not parsed into a tree: a file list may be tens of MiB.
  XmlReader reader(text);
  bool root_seen = false, in_root = false, torrent = false;
  for (;;) {
    switch (reader.Next()) {
      case XmlReader::Event::kError:
        return DocumentKind::kNotADocument;
      case XmlReader::Event::kDone:
        if (!root_seen) return DocumentKind::kNotADocument;
        return torrent ? DocumentKind::kTorrent : DocumentKind::kFileList;
      case XmlReader::Event::kStart:
        if (reader.depth() == 1 && !root_seen && reader.name() == "Root") {
          root_seen = in_root = true;
        } else if (reader.depth() == 2 && in_root &&
                   (reader.name() == "Server" || reader.name() == "Extra")) {
          torrent = true;
        }
        break;
      case XmlReader::Event::kEnd:
        if (reader.depth() == 0) in_root = false;
        break;
    }
  }
}

bool ReadGzipFile(const std::string& path, std::string* text, DocumentFault* fault) {
  text->clear();
  if (fault != nullptr) *fault = DocumentFault::kNone;
  // First pass: scan without keeping anything, so that a bomb costs one
  // block of memory and stops at its first bound.
  DocumentScanner scanner(kFileListBounds);
  const bool scanned =
      InflateBlocks(path, [&](std::string_view block) { return scanner.Feed(block); });
  if (fault != nullptr) *fault = scanner.fault();
  if (!scanned) return false;
  // Second pass: keep the text, in one allocation of the size just measured.
  // The file may have changed in between; it is read no further than that.
  const uint64_t size = scanner.bytes();
  text->reserve(static_cast<size_t>(size));
  const bool read = InflateBlocks(path, [&](std::string_view block) {
    if (block.size() > size - text->size()) return false;
    text->append(block);
    return true;
  });
  if (!read || text->size() != size) {
    text->clear();
    return false;
  }
  return true;
}

bool ReadFileList(const std::string& path, FileList* list, DocumentFault* fault) {
  // ReadGzipFile has scanned the text against the bounds already.
  std::string text;
  return ReadGzipFile(path, &text, fault) && ReadFileListText(text, list);
}

std::string FileListText(const std::vector<FileEntry>& files,
                         const std::vector<std::string>& delete_names) {
  TiXmlDocument doc;
  TiXmlElement* root = AddChild(&doc, "Root");
  TiXmlElement* exist = AddChild(root, "Exist");
  std::unordered_set<std::string_view> existing;
  for (const FileEntry& file : files) {
    AddFile(exist, file);
    existing.insert(file.name);
  }
  TiXmlElement* non_exist = AddChild(root, "NonExist");
  for (const std::string& name : delete_names) {
    if (existing.count(name) == 0) AddChild(non_exist, "File")->SetAttribute("name", name.c_str());
  }
  return Print(doc);
}

bool WriteFileList(const std::vector<FileEntry>& files,
                   const std::vector<std::string>& delete_names, const std::string& path) {
  const std::string text = FileListText(files, delete_names);
  // What the reader would refuse is not written.
  if (CheckDocument(text, kFileListBounds) != DocumentFault::kNone) return false;
  gzFile file = gzopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = gzsetparams(file, 9, Z_FILTERED) == Z_OK;
  if (ok && gzwrite(file, text.data(), static_cast<unsigned>(text.size())) == 0) ok = false;
  // Buffered output reaches the file only in gzclose, so its result counts.
  if (gzclose(file) != Z_OK) ok = false;
  return ok;
}

bool CheckPartLayout(const FileEntry& file, std::string* why) {
  auto fail = [why](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return false;
  };
  if (file.parts.empty()) return fail("file has no parts");
  if (file.size == 0) {
    if (file.parts.size() != 1 || file.parts[0].id != 0 || file.parts[0].start != 0 ||
        file.parts[0].length != 0) {
      return fail("an empty file must have exactly one empty part");
    }
    return true;
  }
  const uint64_t part_size = file.parts[0].length;
  if (part_size == 0) return fail("part 0 is empty in a non-empty file");
  const uint64_t expected_count = (file.size - 1) / part_size + 1;
  if (file.parts.size() != expected_count) {
    return fail("file of " + std::to_string(file.size) + " bytes in parts of " +
                std::to_string(part_size) + " needs " + std::to_string(expected_count) +
                " parts, not " + std::to_string(file.parts.size()));
  }
  for (size_t i = 0; i < file.parts.size(); ++i) {
    const PartEntry& part = file.parts[i];
    const uint64_t start = i * part_size;
    const uint64_t length = i + 1 < file.parts.size() ? part_size : file.size - start;
    if (part.id != i || part.start != start || part.length != length) {
      return fail("part at position " + std::to_string(i) + " should be id " +
                  std::to_string(i) + ", start " + std::to_string(start) + ", length " +
                  std::to_string(length));
    }
  }
  return true;
}

}  // namespace brelvane
