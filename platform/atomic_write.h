// SPDX-License-Identifier: MIT
// Replacing a small file so that a crash or power cut leaves either the old
// content or the new one, never a mixture or a cut-off file.
//
// Thread safety: calls for different paths may run at once; two calls for
// the same path must be serialised by the caller (they share the temporary
// name).
#pragma once

#include <string>
#include <string_view>

namespace brelvane::platform {

// Writes `content` to `path` + ".tmp" in the same directory, flushes it to
// the device, renames it over `path` and flushes the directory entry.  On
// failure the old file is untouched, the temporary file is removed, and the
// system error code is stored in `*error` when given.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, std::string_view content,
                                       int* error = nullptr);

}  // namespace brelvane::platform
