// SPDX-License-Identifier: MIT
#include "simulated_disk.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/atomic_write.h"
#include "platform/file_io.h"

namespace brelvane {
namespace {

struct Node {
  bool directory = false;
  std::vector<uint8_t> data;     // as the running system sees it
  std::vector<uint8_t> durable;  // as the device holds it
};
using NodePtr = std::shared_ptr<Node>;

struct Handle {
  NodePtr node;
  bool writable;
};

struct Disk {
  std::mutex mu;
  std::map<std::string, NodePtr> names;    // path -> node, as seen now
  std::map<std::string, NodePtr> durable;  // path -> node, on the device
  std::map<platform::NativeFile, Handle> handles;
  platform::NativeFile next_handle = 3;
  uint64_t operations = 0;
  uint64_t cut_at = 0;
  bool dead = false;

  // Counts one operation; false once the power is gone.
  bool Tick() {
    if (!dead && ++operations == cut_at) dead = true;
    return !dead;
  }
  NodePtr Find(const std::string& path) {
    auto it = names.find(path);
    return it == names.end() ? nullptr : it->second;
  }
  Node* Open(platform::NativeFile file) {
    auto it = handles.find(file);
    return it == handles.end() ? nullptr : it->second.node.get();
  }
};

Disk& TheDisk() {
  static Disk disk;
  return disk;
}

// "/a//b/" -> "/a/b"; the root is "/".
std::string Normal(const std::string& path) {
  std::string out;
  for (size_t at = 0; at < path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
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

bool IsDir(Disk& d, const std::string& normal) {
  NodePtr node = d.Find(normal);
  return normal == "/" || (node != nullptr && node->directory);
}

}  // namespace

namespace testing {

SimulatedDisk& SimulatedDisk::Get() {
  static SimulatedDisk disk;
  return disk;
}

void SimulatedDisk::Reset(std::initializer_list<std::string> directories) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  d.names.clear();
  for (const std::string& directory : directories) {
    auto node = std::make_shared<Node>();
    node->directory = true;
    d.names[Normal(directory)] = node;
  }
  d.durable = d.names;
  d.handles.clear();
  d.operations = d.cut_at = 0;
  d.dead = false;
}

void SimulatedDisk::CutPowerAt(uint64_t number) {
  std::lock_guard<std::mutex> lock(TheDisk().mu);
  TheDisk().cut_at = number;
}

uint64_t SimulatedDisk::operations() {
  std::lock_guard<std::mutex> lock(TheDisk().mu);
  return TheDisk().operations;
}

void SimulatedDisk::Crash() {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  d.names.clear();
  // In path order a directory comes before what it holds: a name whose
  // directory did not survive is gone with it.
  for (const auto& [name, node] : d.durable) {
    if (!IsDir(d, Parent(name))) continue;
    node->data = node->durable;
    d.names[name] = node;
  }
  d.handles.clear();
  d.operations = d.cut_at = 0;
  d.dead = false;
}

bool SimulatedDisk::Contents(const std::string& path, std::vector<uint8_t>* out) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  NodePtr node = d.Find(Normal(path));
  if (node == nullptr || node->directory) return false;
  *out = node->data;
  return true;
}

}  // namespace testing

namespace platform {

OsError OpenFile(const std::string& path, FileAccess access, FileDisposition disposition, bool,
                 NativeFile* out) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  *out = kInvalidFile;
  if (!d.Tick()) return EIO;
  const std::string name = Normal(path);
  NodePtr node = d.Find(name);
  if (node == nullptr) {
    if (disposition == FileDisposition::kOpenExisting) return ENOENT;
    if (!IsDir(d, Parent(name))) return ENOENT;
    node = d.names[name] = std::make_shared<Node>();
  } else if (node->directory) {
    return EISDIR;
  } else if (disposition == FileDisposition::kCreateAlways && access == FileAccess::kReadWrite) {
    node->data.clear();
  }
  *out = d.next_handle++;
  d.handles[*out] = Handle{node, access == FileAccess::kReadWrite};
  return 0;
}

OsError CloseFile(NativeFile file) {
  std::lock_guard<std::mutex> lock(TheDisk().mu);
  TheDisk().handles.erase(file);
  return 0;
}

OsError GetFileLength(NativeFile file, uint64_t* length) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  Node* node = d.Open(file);
  if (d.dead || node == nullptr) return d.dead ? EIO : EBADF;
  *length = node->data.size();
  return 0;
}

OsError SetFileLength(NativeFile file, uint64_t length, bool) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  Node* node = d.Open(file);
  if (!d.Tick()) return EIO;
  if (node == nullptr || !d.handles[file].writable) return EBADF;
  node->data.resize(length);
  return 0;
}

OsError ReadAt(NativeFile file, void* buffer, size_t length, uint64_t offset) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  Node* node = d.Open(file);
  if (d.dead || node == nullptr || offset + length > node->data.size()) return EIO;
  std::memcpy(buffer, node->data.data() + offset, length);
  return 0;
}

OsError WriteAt(NativeFile file, const void* data, size_t length, uint64_t offset) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  Node* node = d.Open(file);
  if (!d.Tick()) return EIO;
  if (node == nullptr || !d.handles[file].writable) return EBADF;
  if (node->data.size() < offset + length) node->data.resize(offset + length);
  std::memcpy(node->data.data() + offset, data, length);
  return 0;
}

OsError SyncFileData(NativeFile file) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  Node* node = d.Open(file);
  if (!d.Tick()) return EIO;
  if (node == nullptr) return EBADF;
  node->durable = node->data;
  return 0;
}

uint64_t OpenFileLimit() { return 1 << 20; }
uint32_t AllocationGranularity() { return 4096; }

OsError MapView(NativeFile, uint64_t, size_t, bool, MappedView* out) {
  *out = MappedView{};
  return ENOTSUP;  // the engine's default method is positioned I/O
}

OsError UnmapView(MappedView* view) {
  *view = MappedView{};
  return 0;
}

std::string ErrorText(OsError code) { return std::generic_category().message(code); }

PathKind GetPathKind(const std::string& path) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  const std::string name = Normal(path);
  if (IsDir(d, name)) return PathKind::kDirectory;
  return d.Find(name) != nullptr ? PathKind::kFile : PathKind::kMissing;
}

bool IsDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lock(TheDisk().mu);
  return IsDir(TheDisk(), Normal(path));
}

OsError MakeDirectory(const std::string& path) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.Tick()) return EIO;
  const std::string name = Normal(path);
  if (name == "/" || d.Find(name) != nullptr) return EEXIST;
  if (!IsDir(d, Parent(name))) return ENOENT;
  auto node = std::make_shared<Node>();
  node->directory = true;
  d.names[name] = node;
  return 0;
}

OsError ResolvePath(const std::string& path, std::string* out) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  const std::string name = Normal(path);
  if (!IsDir(d, name) && d.Find(name) == nullptr) return ENOENT;
  *out = name;
  return 0;
}

OsError FreeDiskSpace(const std::string&, uint64_t* bytes) {
  *bytes = uint64_t{1} << 40;
  return 0;
}

OsError RemoveFile(const std::string& path) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.Tick()) return EIO;
  NodePtr node = d.Find(Normal(path));
  if (node == nullptr || node->directory) return node == nullptr ? ENOENT : EISDIR;
  d.names.erase(Normal(path));
  return 0;
}

OsError RemoveDirectory(const std::string& path) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.Tick()) return EIO;
  const std::string name = Normal(path);
  if (!IsDir(d, name) || name == "/") return ENOTDIR;
  for (const auto& [other, node] : d.names) {
    if (Parent(other) == name && other != name) return ENOTEMPTY;
  }
  d.names.erase(name);
  return 0;
}

OsError ReplaceFile(const std::string& from, const std::string& to) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.Tick()) return EIO;
  NodePtr node = d.Find(Normal(from));
  if (node == nullptr) return ENOENT;
  if (IsDir(d, Normal(to))) return EISDIR;
  d.names.erase(Normal(from));
  d.names[Normal(to)] = node;
  return 0;
}

OsError SyncPath(const std::string& path) {
  NativeFile file;
  if (OsError err = OpenFile(path, FileAccess::kReadOnly, FileDisposition::kOpenExisting, false,
                             &file)) {
    return err;
  }
  OsError err = SyncFileData(file);
  CloseFile(file);
  return err;
}

OsError SyncFileSystem(const std::string&) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.Tick()) return EIO;
  d.durable = d.names;
  for (auto& [path, node] : d.names) node->durable = node->data;
  return 0;
}

OsError SyncDirectory(const std::string& path) {
  Disk& d = TheDisk();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.Tick()) return EIO;
  const std::string dir = Normal(path);
  if (!IsDir(d, dir)) return ENOENT;
  std::erase_if(d.durable, [&](const auto& entry) { return Parent(entry.first) == dir; });
  for (const auto& [name, node] : d.names) {
    if (Parent(name) == dir && name != dir) d.durable[name] = node;
  }
  return 0;
}

// The same steps as the POSIX version, each one an operation of the disk.
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
  if (err == 0) (void)SyncDirectory(Parent(Normal(path)));  // a failure here is not reported
  if (error != nullptr) *error = err;
  return err == 0;
}

}  // namespace platform
}  // namespace brelvane
