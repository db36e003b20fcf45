// SPDX-License-Identifier: MIT
// The file list as it lies on disk after a download: gzip (or plain) bytes
// read through zlib, the XML read, each file's name and part table checked as
// update preparation does, and a list that reads is written and read back
// unchanged.  The streaming reader must read the same list as TinyXML's tree
// (the reader of the torrent's file table) from every text both accept.
#include <tinyxml.h>

#include <string>
#include <string_view>

#include "catalogue/safe_name.h"
#include "catalogue/seed_document.h"
#include "fuzz/fuzz_support.h"

using brelvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = brelvane::fuzz::WriteScratch(
      "filelist.seed", std::string_view(reinterpret_cast<const char*>(data), size));
  brelvane::FileList list;
  if (!brelvane::ReadFileList(path, &list)) return 0;
  for (const brelvane::FileEntry& file : list.files) {
    (void)brelvane::IsSafeRelativeName(file.name);
    (void)brelvane::CheckPartLayout(file);
  }
  for (const std::string& name : list.delete_names) (void)brelvane::IsSafeRelativeName(name);
  brelvane::FileList again;
  Require(brelvane::ParseFileList(brelvane::FileListText(list.files, list.delete_names), &again),
          "a file list that reads is written readably");
  Require(again.files == list.files, "files read back unchanged");

  std::string text;
  Require(brelvane::ReadGzipFile(path, &text), "a list that reads inflates");
  TiXmlDocument doc;
  text.append(4, '\0');  // TinyXML may read up to three bytes past the end
  doc.Parse(text.c_str());
  const TiXmlElement* root = doc.Error() ? nullptr : doc.FirstChildElement("Root");
  brelvane::FileList tree;
  if (root != nullptr && brelvane::ReadExist(*root, &tree.files, &tree.delete_names)) {
    Require(tree.files == list.files && tree.delete_names == list.delete_names,
            "the streaming reader and the tree read the same list");
  }
  return 0;
}
