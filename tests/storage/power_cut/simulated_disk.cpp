// SPDX-License-Identifier: MIT
#include "simulated_disk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/atomic_write.h"
#include "platform/file_io.h"

namespace brelvane {
namespace {

using platform::NativeFile;
using platform::OsError;

struct Node {
  bool directory = false;
  std::vector<uint8_t> data;     // as the running system sees it
  std::vector<uint8_t> durable;  // as the device holds it
};
using NodePtr = std::shared_ptr<Node>;

std::mutex g_mu;
std::map<std::string, NodePtr> g_names;    // path -> node, as seen now
std::map<std::string, NodePtr> g_durable;  // path -> node, on the device
std::map<NativeFile, std::pair<NodePtr, bool>> g_handles;  // node, writable
NativeFile g_next_handle = 3;
uint64_t g_operations = 0, g_cut_at = 0;
bool g_dead = false;

// "/a//b/" -> "/a/b"; the root is "/".
std::string Normal(const std::string& path) {
  std::string out;
  for (size_t at = 0; at < path.size();) {
    const size_t slash = std::min(path.find('/', at), path.size());
    const std::string step = path.substr(at, slash - at);
    if (!step.empty() && step != ".") out += "/" + step;
    at = slash + 1;
  }
  return out.empty() ? "/" : out;
}

std::string Parent(const std::string& normal) {
  const size_t slash = normal.rfind('/');
  return slash == 0 ? "/" : normal.substr(0, slash);
}

NodePtr Find(const std::string& path) {
  auto it = g_names.find(Normal(path));
  return it == g_names.end() ? nullptr : it->second;
}

bool IsDir(const std::string& path) {
  NodePtr node = Find(path);
  return Normal(path) == "/" || (node != nullptr && node->directory);
}

NodePtr NewNode(bool directory) { return std::make_shared<Node>(Node{directory, {}, {}}); }

template <typename Op>
auto Locked(Op op) {
  std::lock_guard<std::mutex> lock(g_mu);
  return op();
}

// One call under the lock.  A counted call is one operation and may be where
// the power goes; once it is gone every call fails with EIO.
template <typename Op>
OsError Do(bool counted, Op op) {
  return Locked([&]() -> OsError {
    if (counted && !g_dead && ++g_operations == g_cut_at) g_dead = true;
    return g_dead ? EIO : op();
  });
}

// A call on an open handle (writable when `write`); EBADF when there is none.
template <typename Op>
OsError OnHandle(NativeFile file, bool counted, bool write, Op op) {
  return Do(counted, [&]() -> OsError {
    auto it = g_handles.find(file);
    return it == g_handles.end() || (write && !it->second.second) ? EBADF : op(*it->second.first);
  });
}

// Keeps the names in `from` (the durable set, or everything for a reset),
// closes every handle and turns the power on (the lock is held).
void PowerOnWith(const std::map<std::string, NodePtr>& from) {
  g_names.clear();
  // In path order a directory comes before what it holds: a name whose
  // directory did not survive is gone with it.
  for (const auto& [name, node] : from) {
    if (IsDir(Parent(name))) node->data = node->durable, g_names[name] = node;
  }
  g_handles.clear();
  g_operations = g_cut_at = 0, g_dead = false;
}

}  // namespace

namespace testing::disk {

void Reset(std::initializer_list<std::string> directories) {
  Locked([&] {
    g_durable.clear();
    for (const std::string& directory : directories) g_durable[Normal(directory)] = NewNode(true);
    PowerOnWith(g_durable);
  });
}
void CutPowerAt(uint64_t number) { Locked([&] { g_cut_at = number; }); }
uint64_t Operations() { return Locked([] { return g_operations; }); }
void Crash() { Locked([] { PowerOnWith(g_durable); }); }

std::optional<std::vector<uint8_t>> Contents(const std::string& path) {
  return Locked([&]() -> std::optional<std::vector<uint8_t>> {
    NodePtr node = Find(path);
    return node == nullptr || node->directory ? std::nullopt : std::optional(node->data);
  });
}

}  // namespace testing::disk

namespace platform {

OsError OpenFile(const std::string& path, FileAccess access, FileDisposition disposition, bool,
                 NativeFile* out) {
  *out = kInvalidFile;
  return Do(true, [&]() -> OsError {
    NodePtr node = Find(path);
    if (node == nullptr) {
      if (disposition == FileDisposition::kOpenExisting || !IsDir(Parent(Normal(path)))) return ENOENT;
      node = g_names[Normal(path)] = NewNode(false);
    } else if (node->directory) {
      return EISDIR;
    } else if (disposition == FileDisposition::kCreateAlways && access == FileAccess::kReadWrite) {
      node->data.clear();
    }
    *out = g_next_handle++;
    g_handles[*out] = {node, access == FileAccess::kReadWrite};
    return 0;
  });
}

OsError CloseFile(NativeFile file) { return Locked([&] { return g_handles.erase(file), 0; }); }

OsError GetFileLength(NativeFile file, uint64_t* length) {
  return OnHandle(file, false, false, [&](Node& node) { return *length = node.data.size(), 0; });
}

OsError SetFileLength(NativeFile file, uint64_t length, bool) {
  return OnHandle(file, true, true, [&](Node& node) { return node.data.resize(length), 0; });
}

OsError ReadAt(NativeFile file, void* buffer, size_t length, uint64_t offset) {
  return OnHandle(file, false, false, [&](Node& node) -> OsError {
    if (offset + length > node.data.size()) return EIO;
    return std::memcpy(buffer, node.data.data() + offset, length), 0;
  });
}

OsError WriteAt(NativeFile file, const void* data, size_t length, uint64_t offset) {
  return OnHandle(file, true, true, [&](Node& node) {
    if (node.data.size() < offset + length) node.data.resize(offset + length);
    return std::memcpy(node.data.data() + offset, data, length), 0;
  });
}

OsError SyncFileData(NativeFile file) {
  return OnHandle(file, true, false, [&](Node& node) { return node.durable = node.data, 0; });
}

uint64_t OpenFileLimit() { return 1 << 20; }
uint32_t AllocationGranularity() { return 4096; }
// The engine's default method is positioned I/O; views are not simulated.
OsError MapView(NativeFile, uint64_t, size_t, bool, MappedView* out) { return *out = {}, ENOTSUP; }
OsError UnmapView(MappedView* view) { return *view = {}, 0; }
std::string ErrorText(OsError code) { return std::generic_category().message(code); }

PathKind GetPathKind(const std::string& path) {
  return Locked([&] {
    return IsDir(path) ? PathKind::kDirectory : Find(path) != nullptr ? PathKind::kFile : PathKind::kMissing;
  });
}

bool IsDirectory(const std::string& path) { return GetPathKind(path) == PathKind::kDirectory; }

OsError ResolvePath(const std::string& path, std::string* out) {
  return GetPathKind(path) == PathKind::kMissing ? ENOENT : (*out = Normal(path), 0);
}

OsError FreeDiskSpace(const std::string&, uint64_t* bytes) { return *bytes = uint64_t{1} << 40, 0; }

OsError MakeDirectory(const std::string& path) {
  return Do(true, [&]() -> OsError {
    if (Normal(path) == "/" || Find(path) != nullptr) return EEXIST;
    return IsDir(Parent(Normal(path))) ? (g_names[Normal(path)] = NewNode(true), 0) : ENOENT;
  });
}

OsError RemoveFile(const std::string& path) {
  return Do(true, [&]() -> OsError {
    NodePtr node = Find(path);
    return node == nullptr ? ENOENT : node->directory ? EISDIR : (g_names.erase(Normal(path)), 0);
  });
}

OsError RemoveDirectory(const std::string& path) {
  return Do(true, [&]() -> OsError {
    const std::string name = Normal(path);
    if (name == "/" || !IsDir(name)) return ENOTDIR;
    const auto inside = [&](const auto& e) { return e.first != name && Parent(e.first) == name; };
    return std::none_of(g_names.begin(), g_names.end(), inside) ? (g_names.erase(name), 0) : ENOTEMPTY;
  });
}

OsError ReplaceFile(const std::string& from, const std::string& to) {
  return Do(true, [&]() -> OsError {
    NodePtr node = Find(from);
    if (node == nullptr || IsDir(to)) return node == nullptr ? ENOENT : EISDIR;
    return g_names.erase(Normal(from)), g_names[Normal(to)] = node, 0;
  });
}

OsError SyncFileSystem(const std::string&) {
  return Do(true, [&]() -> OsError {
    for (auto& entry : g_durable = g_names) entry.second->durable = entry.second->data;
    return 0;
  });
}

OsError SyncDirectory(const std::string& path) {
  return Do(true, [&]() -> OsError {
    const std::string dir = Normal(path);
    if (!IsDir(dir)) return ENOENT;
    const auto inside = [&](const auto& e) { return e.first != dir && Parent(e.first) == dir; };
    std::erase_if(g_durable, inside);
    std::copy_if(g_names.begin(), g_names.end(), std::inserter(g_durable, g_durable.end()), inside);
    return 0;
  });
}

// The steps of the POSIX version, each one an operation of the disk.
bool WriteFileAtomically(const std::string& path, std::string_view content, int* error) {
  const std::string temp = path + ".tmp";
  NativeFile file;
  OsError err = OpenFile(temp, FileAccess::kReadWrite, FileDisposition::kCreateAlways, false, &file);
  if (err == 0) {
    err = WriteAt(file, content.data(), content.size(), 0);
    if (err == 0) err = SyncFileData(file);
    CloseFile(file);
    if (err == 0) err = ReplaceFile(temp, path);
    if (err != 0) (void)RemoveFile(temp);
  }
  if (err == 0) (void)SyncDirectory(Parent(Normal(path)));  // as there, a failure is not reported
  if (error != nullptr) *error = err;
  return err == 0;
}

}  // namespace platform
}  // namespace brelvane
