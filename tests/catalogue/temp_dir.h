// SPDX-License-Identifier: MIT
// The one scratch-directory helper of the tests (catalogue, storage, peers).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace brelvane::testing {

// A fresh directory under the system's temporary directory; removed with
// everything in it (permissions a test took away restored first) when the
// object goes away.  Shared by the catalogue, storage and peer tests.
class TempDir {
 public:
  TempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "brelvane-test-XXXXXX").string();
    path_ = (mkdtemp(name.data()) ? name : "/nonexistent/brelvane-test") + "/";
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, with a trailing '/'.
  const std::string& path() const { return path_; }
  // path() + name.
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

}  // namespace brelvane::testing
