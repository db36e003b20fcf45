// SPDX-License-Identifier: MIT
// The small hardware inventory of the end-of-run statistics report: disk
// model, installed memory, processor clock, the first Ethernet adapter's
// hardware address and the machine's first DNS server.
//
// SystemInfoViewer keeps the shape of a management-instrumentation client:
// a class is named by its index in a fixed table of 59 class names, and a
// query answers a list of objects, each a map from property name to text.
// On Linux it answers, without root, the three classes the report uses:
//
//   10 Win32_DiskDrive       "Caption": the model of each real disk under
//                            sys/block (loop, ram, zram, dm-, md, sr, nbd,
//                            fd and other virtual devices are skipped)
//   31 Win32_PhysicalMemory  "Capacity" in bytes, decimal: one object per
//                            installed module from the DMI type 17 tables
//                            when readable; otherwise one object with the
//                            memory blocks of sys/devices/system/memory;
//                            otherwise MemTotal of proc/meminfo rounded up
//   43 Win32_Processor       "MaxClockSpeed" in MHz: cpu0's cpufreq maximum,
//                            else "cpu MHz" of proc/cpuinfo
//
// Every other class answers false with a last error naming it.  Every path
// is read below a root directory given at construction ("/" in the program,
// a fake tree in tests); a missing or unreadable source takes the failure
// path (false and a last error), never a crash.
//
// Thread safety: one viewer per caller; the free functions may be called
// from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brelvane::platform {

inline constexpr int kSystemInfoClassCount = 59;
inline constexpr int kWin32DiskDrive = 10;
inline constexpr int kWin32PhysicalMemory = 31;
inline constexpr int kWin32Processor = 43;

// The class name at `index` ("Win32_DiskDrive" for 10), nullptr outside
// 0..58.
const char* SystemInfoClassName(int index);

// One queried object: property name -> property text.
using SystemInfoObject = std::map<std::string, std::string>;

class SystemInfoViewer {
 public:
  explicit SystemInfoViewer(std::string root = "/");

  // Checks that the root can be read.  False (with a last error) otherwise.
  [[nodiscard]] bool Init();
  // Replaces `*out` with the objects of class `class_index`.  False, with a
  // last error and `*out` empty, for an unknown or unsupported class, before
  // Init, or when no source of the class can be read.  An empty list with
  // true means the source was read and holds no such object (no disk).
  [[nodiscard]] bool Query(int class_index, std::vector<SystemInfoObject>* out);
  void Shutdown();

  // The last failure's text, at most 127 bytes.
  const std::string& last_error() const { return last_error_; }

 private:
  bool Fail(std::string text);
  bool QueryDisks(std::vector<SystemInfoObject>* out);
  bool QueryMemory(std::vector<SystemInfoObject>* out);
  bool QueryProcessor(std::vector<SystemInfoObject>* out);

  std::string root_;  // ends with '/'
  bool initialised_ = false;
  std::string last_error_;
};

// The hardware address of the first Ethernet adapter under sys/class/net,
// in interface index order: type 1 (ARPHRD_ETHER) with a 6-byte address,
// backed by a device (so not lo, veth, bridges, tun, docker...) and not
// wireless.  False, `*out` zeroed, when there is none.
[[nodiscard]] bool FirstEthernetAddress(std::array<uint8_t, 6>* out,
                                        const std::string& root = "/");

// The first IPv4 "nameserver" of etc/resolv.conf as a host-order number
// (a.b.c.d = a<<24 | b<<16 | c<<8 | d).  When that is systemd-resolved's
// local stub 127.0.0.53, the first IPv4 server of
// run/systemd/resolve/resolv.conf (the upstream servers) is taken instead,
// the stub when that file names none.  0 when there is no IPv4 server.
uint32_t FirstDnsServer(const std::string& root = "/");

}  // namespace brelvane::platform
