// SPDX-License-Identifier: MIT
// Readers and writers of the two release documents: the torrent (plain XML,
// fetched by HTTP) and the file list (gzip-compressed XML, kept as the seed
// file).  Both share one vocabulary:
//
//   <Root>                         torrent: Server, Extra, Exist, NonExist
//       <Server>                   file list: Exist, NonExist
//           <Http url="..." />
//           <Tracker ip="..." port="..." />
//       </Server>
//       <Extra>
//           <TotalSize size="..." />
//       </Extra>
//       <Exist>
//           <File id="..." name="..." size="..." md5="...">
//               <Part id="..." start="..." length="..." md5="..." />
//           </File>
//       </Exist>
//       <NonExist>                 file list only: names to delete
//           <File name="..." />
//       </NonExist>
//   </Root>
//
// Writers emit no XML declaration, one element per line, four spaces of
// indent per level, attributes in the order shown, digests as 32 upper-case
// hex digits, and one extra line feed after the document.  Readers accept
// either case in digests and take ids, starts and lengths as written; they
// refuse a document that passes one of its bounds (catalogue/
// document_bounds.h: kTorrentBounds, kFileListBounds) before parsing it, a
// document that is not well-formed XML, a missing attribute, or a number
// that is not plain unsigned decimal within its type.  Readers that take a
// DocumentFault pointer set it to the bound passed (kNone for other
// failures).  They report
// failure only through their result and print nothing.  Names are not
// checked here: callers that create or delete files check each name with
// catalogue/safe_name.h and each part table with CheckPartLayout().
//
// Thread safety: every function may be called from any thread; they share
// no state.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/document_bounds.h"
#include "catalogue/seed_model.h"

class TiXmlElement;

namespace brelvane {

// Reads a torrent document from `in`.  False when the text passes
// kTorrentBounds, is not XML, has no Root, its Exist fails to read, or it
// describes no file.  Http elements without a readable url and Tracker
// elements without a readable ip or port are skipped.  `in` is read no
// further than one byte past kTorrentBounds.max_bytes.
[[nodiscard]] bool ReadTorrent(std::istream& in, SeedInfo* info);
[[nodiscard]] bool ParseTorrent(std::string_view text, SeedInfo* info,
                                DocumentFault* fault = nullptr);

// Writes the torrent document followed by an end of line.  False when the
// stream fails.
[[nodiscard]] bool WriteTorrent(const SeedInfo& info, std::ostream& out);
std::string TorrentText(const SeedInfo& info);

// Reads the compressed file list at `path` (an uncompressed file is read as
// is) into `list`; on success it holds this document's entries alone,
// whatever it held before (on failure its contents are unspecified).  False
// when the file cannot be read or decompressed completely, passes
// kFileListBounds, is not XML, has no Root, or a File or Part fails to read.
[[nodiscard]] bool ReadFileList(const std::string& path, FileList* list,
                                DocumentFault* fault = nullptr);
[[nodiscard]] bool ParseFileList(std::string_view text, FileList* list,
                                 DocumentFault* fault = nullptr);

// Writes the file list to `path`, gzip level 9, strategy Z_FILTERED.
// Delete names that are also names of `files` are left out.  True when the
// compressed file was completely written; false, writing nothing, when the
// text would pass kFileListBounds (the reader would refuse it).
[[nodiscard]] bool WriteFileList(const std::vector<FileEntry>& files,
                                 const std::vector<std::string>& delete_names,
                                 const std::string& path);
// The XML text WriteFileList compresses.
std::string FileListText(const std::vector<FileEntry>& files,
                         const std::vector<std::string>& delete_names);

// Reads the Exist element under `root` into `files` (appending) and, when
// `delete_names` is given, the names of NonExist's elements.  A missing
// Exist means no files.  False on the first File or Part with a missing or
// unreadable attribute; the vectors are then partly filled.
[[nodiscard]] bool ReadExist(const TiXmlElement& root, std::vector<FileEntry>* files,
                             std::vector<std::string>* delete_names);

// Reads the whole of a gzip file (or a plain file, passed through) into
// `*text`.  The file is inflated twice: first only scanned against
// kFileListBounds, stopping at the first bound passed (so a gzip bomb
// costs one 64 KiB block), then kept in one allocation of the measured
// size.  False on an open or read failure, a corrupt or truncated stream,
// or a bound passed (`*fault` tells which).
[[nodiscard]] bool ReadGzipFile(const std::string& path, std::string* text,
                                DocumentFault* fault = nullptr);

enum class DocumentKind { kNotADocument, kTorrent, kFileList };

// Tells a torrent (its Root has a Server or Extra element) from a file list
// (a Root without them).  kNotADocument when the text is not XML with a
// Root.
DocumentKind DetectDocumentKind(std::string_view text);

// Checks that a file's part table is usable: parts numbered 0..n-1 in
// order, starting at 0 and following each other without gaps, all of the
// first part's length except a shorter or equal last one, adding up to the
// file size; an empty file has exactly one empty part.  On failure describes
// the first fault in `*why`.
[[nodiscard]] bool CheckPartLayout(const FileEntry& file, std::string* why = nullptr);

}  // namespace brelvane
