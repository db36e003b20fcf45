// SPDX-License-Identifier: MIT
// The one scratch-directory helper of the tests (catalogue, storage, peers).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace brelvane::testing {

// A fresh directory under the system's temporary directory; removed with
// everything in it (permissions a test took away restored first) when the
// object goes away.  Shared by the catalogue, storage and peer tests.
class TempDir {
 public:
  TempDir() {
    static std::atomic<uint32_t> counter{0};
    std::random_device rd;
    std::error_code ec;
    do {
      path_ = (std::filesystem::temp_directory_path() /
               ("brelvane-test-" + std::to_string(rd()) + "-" + std::to_string(counter++)))
                  .string();
    } while (!std::filesystem::create_directory(path_, ec));
    path_ += "/";
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
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
