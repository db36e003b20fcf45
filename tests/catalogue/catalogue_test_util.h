// SPDX-License-Identifier: MIT
// Helpers shared by the catalogue tests: a scratch directory removed at the
// end of the test, and whole-file reads and writes.
#pragma once

#include "catalogue/seed_model.h"
#include "catalogue/temp_dir.h"

namespace brelvane::testing {

// Writes `bytes` to `path`, creating parent directories.
void WriteBytes(const std::string& path, const std::string& bytes);
// The whole file, or "" when it cannot be read.
std::string ReadBytes(const std::string& path);
// The text of a file under tests/catalogue/data/.
std::string ReadTestData(const std::string& name);

// `length` bytes of a fixed pseudo-random sequence.
std::string PseudoRandomBytes(size_t length, uint32_t seed);

// A file entry with parts laid out for `part_size` and digests of `bytes`.
FileEntry MakeEntry(uint32_t id, const std::string& name, const std::string& bytes,
                    uint32_t part_size = 65536);

}  // namespace brelvane::testing
