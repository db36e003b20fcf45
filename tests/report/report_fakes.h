// SPDX-License-Identifier: MIT
// Shared by the report tests: the fake trees and a scriptable inventory.
#pragma once

#include <map>
#include <optional>

#include "app/console_capture.h"
#include "report/download_stat.h"

namespace brelvane {

inline std::string DataRoot(const std::string& tree) {
  return std::string(BRELVANE_SOURCE_DIR) + "/tests/report/data/" + tree;
}

// Answers what the test put in: a class missing from `classes` fails.
class FakeInventory : public StatInventory {
 public:
  bool init_ok = true;
  std::map<int, std::vector<platform::SystemInfoObject>> classes;
  std::optional<std::array<uint8_t, 6>> mac;
  uint32_t dns = 0;
  int queries = 0;

  bool Init() override { return init_ok; }
  bool Query(int class_index, std::vector<platform::SystemInfoObject>* out) override {
    ++queries;
    const auto it = classes.find(class_index);
    *out = it == classes.end() ? std::vector<platform::SystemInfoObject>{} : it->second;
    return it != classes.end();
  }
  void Shutdown() override {}
  std::string LastError() const override { return "boom"; }
  bool AdapterAddress(std::array<uint8_t, 6>* out) override {
    *out = mac.value_or(std::array<uint8_t, 6>{});
    return mac.has_value();
  }
  uint32_t DnsServer() override { return dns; }
};

using testing::ConsoleCapture;

}  // namespace brelvane
