// SPDX-License-Identifier: MIT
// The end-of-run statistics report: one CSMessageDownloadStat (type 110,
// 184 bytes) to the main server and one console line at Info, describing how
// the run began and ended, the bytes received through P2P and HTTP, the
// busiest HTTP sources, ten speed windows and a small hardware inventory.
// docs/report.md has the body layout and the inventory sources.
//
// The engine fills a DownloadStatInputs from its counters and calls
// DownloadStatReporter::Report; the reporter sends at most once per run
// (Rearm starts a new run).  Building the message is a pure function of the
// inputs, the clock reading and the inventory, so each piece is testable:
// BuildDownloadStat (plain message and console text) and
// ScrambleDownloadStat (the copy that is sent).
//
// Thread safety: DownloadStatReporter::Report and Rearm may be called from
// any thread; concurrent reports send once.  The inventory is used by one
// report at a time.  The free functions are pure.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "p2p/wire/wire_format.h"
#include "platform/system_info.h"

namespace brelvane {

// End states (the begin states are 0 "Begin", 1 "Continue", 2 "Complete").
inline constexpr int32_t kEndStateCancel = 3;
inline constexpr int32_t kEndStateFinish = 4;
inline constexpr int32_t kEndStateFail = 5;
inline constexpr int32_t kEndStateRestart = 6;

inline constexpr size_t kSpeedWindows = 10;
inline constexpr size_t kMaxHttpSources = 8;

using DownloadStatMessage = std::array<uint8_t, wire::kDownloadStatSize>;

struct HttpSourceHits {
  uint32_t ip = 0;    // IPv4, host order, as the HTTP download manager keeps it
  uint32_t hits = 0;  // data blocks received from it
};

struct DownloadStatInputs {
  int32_t begin_state = -1;
  int32_t end_state = -1;    // -1 (never recorded) is reported as 5 "Fail"
  int64_t start_time = 0;    // seconds since the epoch
  int64_t end_time = 0;      // recorded end time; used only with end state 4
  uint64_t p2p_bytes = 0;
  uint64_t http_bytes = 0;
  int32_t http_thread_num = 0;  // HttpDownloadThreadNum
  uint32_t version = 0;         // Version
  std::vector<HttpSourceHits> http_sources{};  // any order; ties keep theirs
  std::array<float, kSpeedWindows> speeds{};  // KB/s, newest window first
};

// What the report asks of the machine.  SystemInventory is the real one.
class StatInventory {
 public:
  virtual ~StatInventory() = default;
  [[nodiscard]] virtual bool Init() = 0;
  [[nodiscard]] virtual bool Query(int class_index,
                                   std::vector<platform::SystemInfoObject>* out) = 0;
  virtual void Shutdown() = 0;
  virtual std::string LastError() const = 0;
  // False, `*out` zeroed, when there is no Ethernet adapter.
  [[nodiscard]] virtual bool AdapterAddress(std::array<uint8_t, 6>* out) = 0;
  // The first DNS server, host order; 0 when unknown.
  virtual uint32_t DnsServer() = 0;
};

// The platform inventory, reading below `root` ("/" on a live system).
class SystemInventory : public StatInventory {
 public:
  explicit SystemInventory(std::string root = "/") : root_(root), viewer_(std::move(root)) {}
  bool Init() override { return viewer_.Init(); }
  bool Query(int class_index, std::vector<platform::SystemInfoObject>* out) override {
    return viewer_.Query(class_index, out);
  }
  void Shutdown() override { viewer_.Shutdown(); }
  std::string LastError() const override { return viewer_.last_error(); }
  bool AdapterAddress(std::array<uint8_t, 6>* out) override {
    return platform::FirstEthernetAddress(out, root_);
  }
  uint32_t DnsServer() override { return platform::FirstDnsServer(root_); }

 private:
  std::string root_;
  platform::SystemInfoViewer viewer_;
};

// The state names of the console line (defined with the wire format).
using wire::BeginStateName;
using wire::EndStateName;

struct DownloadStatReport {
  DownloadStatMessage plain;  // before scrambling
  std::string line;           // the console text, "ReportDownloadStat dns=... "
};

// The plain message, `header` with type 110 and length 164 and the body
// built from `in`, the clock reading `now` (the end time unless the end
// state is 4) and the inventory; and its console text.  Inventory failures
// print their Warning lines and leave their fields 0.
DownloadStatReport BuildDownloadStat(const wire::MsgHeader& header,
                                     const DownloadStatInputs& in, int64_t now,
                                     StatInventory& inventory);

// A copy of `plain` with the 164 body bytes XOR-ed with the report key.
DownloadStatMessage ScrambleDownloadStat(const DownloadStatMessage& plain);

class DownloadStatReporter {
 public:
  using HeaderSource = std::function<wire::MsgHeader()>;
  using Sender = std::function<void(const DownloadStatMessage&)>;
  using Clock = std::function<int64_t()>;

  // `next_header` is asked only when a report is sent (it may advance a
  // message counter); `send` gets the scrambled 184 bytes, its result is not
  // examined; `now` defaults to the system clock.  `inventory` must outlive
  // the reporter.
  DownloadStatReporter(StatInventory& inventory, HeaderSource next_header, Sender send,
                       Clock now = {});

  // A new run: the next Report sends again.
  void Rearm() { sent_.store(false, std::memory_order_relaxed); }
  bool sent() const { return sent_.load(std::memory_order_relaxed); }

  // Sends the report and prints its console line, unless one was sent since
  // the last Rearm.  True when this call sent.
  bool Report(const DownloadStatInputs& in);

 private:
  StatInventory& inventory_;
  HeaderSource next_header_;
  Sender send_;
  Clock now_;
  std::atomic<bool> sent_{false};
  std::mutex inventory_mu_;  // one inventory walk at a time
};

}  // namespace brelvane
