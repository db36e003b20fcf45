// SPDX-License-Identifier: MIT
// The Linux inventory: sysfs, procfs and resolv.conf, all readable without
// root.  Reads are bounded (no source file is read past kMaxFileBytes), so a
// strange tree costs at most a few small buffers.
#include "platform/system_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

namespace brelvane::platform {
namespace {

constexpr const char* kClassNames[kSystemInfoClassCount] = {
    "Win32_1394Controller", "Win32_BaseBoard", "Win32_Battery", "Win32_BIOS", "Win32_Bus",
    "Win32_CacheMemory", "Win32_CDROMDrive", "Win32_CurrentProbe", "Win32_DesktopMonitor",
    "Win32_DeviceMemoryAddress", "Win32_DiskDrive", "Win32_DisplayConfiguration",
    "Win32_DisplayControllerConfiguration", "Win32_DMAChannel", "Win32_Fan",
    "Win32_FloppyController", "Win32_FloppyDrive", "Win32_HeatPipe", "Win32_IDEController",
    "Win32_InfraredDevice", "Win32_IRQResource", "Win32_Keyboard", "Win32_MemoryArray",
    "Win32_MemoryDevice", "Win32_MotherboardDevice", "Win32_NetworkAdapter",
    "Win32_NetworkAdapterConfiguration", "Win32_OnBoardDevice", "Win32_OperatingSystem",
    "Win32_ParallelPort", "Win32_PCMCIAController", "Win32_PhysicalMemory",
    "Win32_PhysicalMemoryArray", "Win32_PnPEntity", "Win32_PointingDevice",
    "Win32_PortableBattery", "Win32_PortConnector", "Win32_PortResource", "Win32_POTSModem",
    "Win32_PowerManagementEvent", "Win32_Printer", "Win32_PrinterConfiguration",
    "Win32_PrintJob", "Win32_Processor", "Win32_Refrigeration", "Win32_SerialPort",
    "Win32_SerialPortConfiguration", "Win32_SMBIOSMemory", "Win32_SoundDevice",
    "Win32_SystemEnclosure", "Win32_SystemMemoryResource", "Win32_SystemSlot",
    "Win32_TapeDrive", "Win32_TemperatureProbe", "Win32_UninterruptiblePowerSupply",
    "Win32_USBController", "Win32_VideoConfiguration", "Win32_VideoController",
    "Win32_VoltageProbe",
};

constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr size_t kMaxErrorBytes = 127;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

// Block devices that are not disks of their own.
constexpr std::string_view kVirtualDiskPrefixes[] = {"loop", "ram", "zram", "dm-", "md",
                                                     "sr",   "nbd", "fd",   "zd"};

// Reads up to kMaxFileBytes of `path`.  False with errno's value in `*error`.
bool ReadSmallFile(const std::string& path, std::string* out, int* error = nullptr) {
  out->clear();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (error) *error = errno;
    return false;
  }
  char buffer[4096];
  while (out->size() < kMaxFileBytes) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kMaxFileBytes - out->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = errno;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

// The entry names of directory `path` (without "." and ".."), sorted.
bool ListDirectory(const std::string& path, std::vector<std::string>* names,
                   int* error = nullptr) {
  names->clear();
  DIR* dir = ::opendir(path.c_str());
  if (!dir) {
    if (error) *error = errno;
    return false;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names->emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string_view Trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// A whole unsigned number in `base` (10 or 16); nullopt for anything else or
// an overflow.
std::optional<uint64_t> ParseUnsigned(std::string_view text, int base) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
      return std::nullopt;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

std::optional<uint64_t> ReadNumberFile(const std::string& path, int base) {
  std::string text;
  if (!ReadSmallFile(path, &text)) return std::nullopt;
  return ParseUnsigned(Trim(text), base);
}

// Strict dotted IPv4: four parts 0..255 of one to three digits.
std::optional<uint32_t> ParseIpv4(std::string_view text) {
  uint32_t ip = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
      ++digits;
    }
    const std::optional<uint64_t> value = ParseUnsigned(text.substr(0, digits), 10);
    if (digits > 3 || !value || *value > 255) return std::nullopt;
    ip = (ip << 8) | static_cast<uint32_t>(*value);
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  return ip;
}

// "aa:bb:cc:dd:ee:ff".
bool ParseHardwareAddress(std::string_view text, std::array<uint8_t, 6>* out) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0 && text[3 * i - 1] != ':') return false;
    const std::optional<uint64_t> byte = ParseUnsigned(text.substr(3 * i, 2), 16);
    if (!byte) return false;
    (*out)[i] = static_cast<uint8_t>(*byte);
  }
  return true;
}

// The first IPv4 "nameserver" of resolv.conf text.
std::optional<uint32_t> FirstIpv4Nameserver(std::string_view text) {
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    constexpr std::string_view kKey = "nameserver";
    if (line.substr(0, kKey.size()) != kKey || line.size() == kKey.size() ||
        (line[kKey.size()] != ' ' && line[kKey.size()] != '\t')) {
      continue;
    }
    line = Trim(line.substr(kKey.size()));
    line = line.substr(0, line.find_first_of(" \t#;"));
    if (const std::optional<uint32_t> ip = ParseIpv4(line)) return ip;
  }
  return std::nullopt;
}

// Bytes of one DMI memory device (type 17) record; 0 for an empty slot or an
// unknown size.
uint64_t DmiModuleBytes(const std::string& raw) {
  if (raw.size() < 0x0E || static_cast<uint8_t>(raw[0]) != 17) return 0;
  const auto byte = [&raw](size_t i) { return uint64_t{static_cast<uint8_t>(raw[i])}; };
  const size_t length = static_cast<size_t>(byte(1));
  if (length < 0x0E) return 0;
  const uint64_t size = byte(0x0C) | (byte(0x0D) << 8);
  if (size == 0 || size == 0xFFFF) return 0;
  if (size == 0x7FFF) {  // the extended size (MiB, 31 bits) holds the real one
    if (length < 0x20 || raw.size() < 0x20) return 0;
    const uint64_t extended =
        byte(0x1C) | (byte(0x1D) << 8) | (byte(0x1E) << 16) | ((byte(0x1F) & 0x7F) << 24);
    return extended * kMiB;
  }
  return (size & 0x8000) ? (size & 0x7FFF) * 1024 : size * kMiB;
}

// "17-<n>" entries of the DMI table directory, by instance number.
std::optional<uint64_t> DmiInstance(std::string_view name) {
  if (name.substr(0, 3) != "17-") return std::nullopt;
  return ParseUnsigned(name.substr(3), 10);
}

// Rounds MemTotal (what the kernel manages: installed memory less firmware
// and kernel reservations, a few percent) up to whole GiB, or quarter GiB
// for small virtual machines.
uint64_t RoundUpToModules(uint64_t bytes) {
  const uint64_t step = bytes < 2 * kGiB ? 256 * kMiB : kGiB;
  return bytes > UINT64_MAX - step ? bytes : (bytes + step - 1) / step * step;
}

SystemInfoObject CapacityObject(uint64_t bytes) {
  return {{"Capacity", std::to_string(bytes)}};
}

}  // namespace

const char* SystemInfoClassName(int index) {
  return index >= 0 && index < kSystemInfoClassCount ? kClassNames[index] : nullptr;
}

SystemInfoViewer::SystemInfoViewer(std::string root) : root_(std::move(root)) {
  if (root_.empty() || root_.back() != '/') root_ += '/';
}

bool SystemInfoViewer::Fail(std::string text) {
  if (text.size() > kMaxErrorBytes) text.resize(kMaxErrorBytes);
  last_error_ = std::move(text);
  return false;
}

bool SystemInfoViewer::Init() {
  std::vector<std::string> names;
  int error = 0;
  if (!ListDirectory(root_, &names, &error)) {
    return Fail("Could not read the system information root " + root_ +
                ". Error code = " + std::to_string(error));
  }
  initialised_ = true;
  return true;
}

void SystemInfoViewer::Shutdown() { initialised_ = false; }

bool SystemInfoViewer::Query(int class_index, std::vector<SystemInfoObject>* out) {
  out->clear();
  if (!initialised_) return Fail("SystemInfoViewer is not initialised");
  const char* name = SystemInfoClassName(class_index);
  if (!name) return Fail("No class with index " + std::to_string(class_index));
  bool ok = false;
  switch (class_index) {
    case kWin32DiskDrive:
      ok = QueryDisks(out);
      break;
    case kWin32PhysicalMemory:
      ok = QueryMemory(out);
      break;
    case kWin32Processor:
      ok = QueryProcessor(out);
      break;
    default:
      return Fail(std::string("Query for ") + name + " is not supported on this system");
  }
  if (!ok) out->clear();
  return ok;
}

bool SystemInfoViewer::QueryDisks(std::vector<SystemInfoObject>* out) {
  const std::string block = root_ + "sys/block/";
  std::vector<std::string> names;
  int error = 0;
  if (!ListDirectory(block, &names, &error)) {
    return Fail("Could not read " + block + ". Error code = " + std::to_string(error));
  }
  for (const std::string& name : names) {
    const bool is_virtual = std::any_of(
        std::begin(kVirtualDiskPrefixes), std::end(kVirtualDiskPrefixes),
        [&name](std::string_view prefix) { return name.compare(0, prefix.size(), prefix) == 0; });
    const std::string device = block + name + "/device/";
    if (is_virtual || !Exists(device)) continue;
    SystemInfoObject disk{{"DeviceID", name}};
    std::string model;
    // SCSI, ATA and NVMe disks name their model in "model", MMC cards in "name".
    if (ReadSmallFile(device + "model", &model) || ReadSmallFile(device + "name", &model)) {
      const std::string_view caption = Trim(model);
      if (!caption.empty()) disk["Caption"] = std::string(caption);
    }
    out->push_back(std::move(disk));
  }
  return true;
}

bool SystemInfoViewer::QueryMemory(std::vector<SystemInfoObject>* out) {
  // 1. The firmware's table of memory devices: exact, one record per slot,
  //    but usually readable by root only.
  const std::string dmi = root_ + "sys/firmware/dmi/entries/";
  std::vector<std::string> names;
  if (ListDirectory(dmi, &names)) {
    std::vector<std::pair<uint64_t, uint64_t>> modules;  // instance, bytes
    for (const std::string& name : names) {
      const std::optional<uint64_t> instance = DmiInstance(name);
      std::string raw;
      if (!instance || !ReadSmallFile(dmi + name + "/raw", &raw)) continue;
      if (const uint64_t bytes = DmiModuleBytes(raw)) modules.emplace_back(*instance, bytes);
    }
    std::sort(modules.begin(), modules.end());
    for (const auto& module : modules) out->push_back(CapacityObject(module.second));
    if (!out->empty()) return true;
  }
  // 2. The memory blocks the kernel maps: every block holding any RAM is
  //    listed, so the sum is the installed size up to part of a block.
  const std::string blocks = root_ + "sys/devices/system/memory/";
  const std::optional<uint64_t> block_size = ReadNumberFile(blocks + "block_size_bytes", 16);
  if (block_size && *block_size > 0 && ListDirectory(blocks, &names)) {
    const uint64_t count = static_cast<uint64_t>(
        std::count_if(names.begin(), names.end(), [](const std::string& name) {
          return name.size() > 6 && name.compare(0, 6, "memory") == 0 &&
                 ParseUnsigned(std::string_view(name).substr(6), 10).has_value();
        }));
    if (count > 0 && count <= UINT64_MAX / *block_size) {
      out->push_back(CapacityObject(count * *block_size));
      return true;
    }
  }
  // 3. MemTotal, short of the installed size by the reserved memory.
  const std::string meminfo = root_ + "proc/meminfo";
  std::string text;
  int error = 0;
  if (!ReadSmallFile(meminfo, &text, &error)) {
    return Fail("Could not read " + meminfo + ". Error code = " + std::to_string(error));
  }
  constexpr std::string_view kKey = "MemTotal:";
  const size_t at = text.find(kKey);
  if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) {
    return Fail("No MemTotal in " + meminfo);
  }
  std::string_view value = Trim(std::string_view(text).substr(at + kKey.size()));
  value = value.substr(0, value.find_first_of(" \n"));
  const std::optional<uint64_t> kib = ParseUnsigned(value, 10);
  if (!kib || *kib == 0 || *kib > UINT64_MAX / 1024) return Fail("Bad MemTotal in " + meminfo);
  out->push_back(CapacityObject(RoundUpToModules(*kib * 1024)));
  return true;
}

bool SystemInfoViewer::QueryProcessor(std::vector<SystemInfoObject>* out) {
  const std::optional<uint64_t> khz =
      ReadNumberFile(root_ + "sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", 10);
  uint64_t mhz = 0;
  if (khz && *khz > 0) {
    mhz = (*khz + 500) / 1000;
  } else {
    // Without a frequency driver (virtual machines) only the current clock
    // is known; it is the nominal one there.
    const std::string cpuinfo = root_ + "proc/cpuinfo";
    std::string text;
    int error = 0;
    if (!ReadSmallFile(cpuinfo, &text, &error)) {
      return Fail("Could not read " + cpuinfo + ". Error code = " + std::to_string(error));
    }
    const size_t at = text.find("\ncpu MHz");
    const size_t colon = at == std::string::npos ? at : text.find(':', at);
    if (colon == std::string::npos) return Fail("No processor clock in " + cpuinfo);
    std::string_view value = Trim(std::string_view(text).substr(colon + 1));
    value = value.substr(0, value.find('\n'));
    const size_t dot = std::min(value.find('.'), value.size());
    const std::optional<uint64_t> whole = ParseUnsigned(value.substr(0, dot), 10);
    if (!whole || *whole > UINT32_MAX) return Fail("Bad processor clock in " + cpuinfo);
    const bool round_up = dot + 1 < value.size() && value[dot + 1] >= '5' && value[dot + 1] <= '9';
    mhz = *whole + (round_up ? 1 : 0);
  }
  out->push_back({{"MaxClockSpeed", std::to_string(mhz)}});
  return true;
}

bool FirstEthernetAddress(std::array<uint8_t, 6>* out, const std::string& root) {
  out->fill(0);
  std::string net = root;
  if (net.empty() || net.back() != '/') net += '/';
  net += "sys/class/net/";
  std::vector<std::string> names;
  if (!ListDirectory(net, &names)) return false;
  uint64_t best_index = UINT64_MAX;
  bool found = false;
  for (const std::string& name : names) {
    const std::string dir = net + name + "/";
    const std::optional<uint64_t> type = ReadNumberFile(dir + "type", 10);
    const std::optional<uint64_t> length = ReadNumberFile(dir + "addr_len", 10);
    // A device link marks hardware; wireless adapters are a type of their own
    // to the report's readers, as on the system the report was made for.
    if (name == "lo" || type != 1u || (length && *length != 6) || !Exists(dir + "device") ||
        Exists(dir + "wireless") || Exists(dir + "phy80211")) {
      continue;
    }
    std::string text;
    std::array<uint8_t, 6> address{};
    if (!ReadSmallFile(dir + "address", &text) || !ParseHardwareAddress(Trim(text), &address)) {
      continue;
    }
    const uint64_t index = ReadNumberFile(dir + "ifindex", 10).value_or(UINT64_MAX - 1);
    if (!found || index < best_index) {
      *out = address;
      best_index = index;
      found = true;
    }
  }
  return found;
}

uint32_t FirstDnsServer(const std::string& root) {
  std::string base = root;
  if (base.empty() || base.back() != '/') base += '/';
  constexpr uint32_t kResolvedStub = 0x7F000035;  // 127.0.0.53
  std::string text;
  if (!ReadSmallFile(base + "etc/resolv.conf", &text)) return 0;
  const uint32_t first = FirstIpv4Nameserver(text).value_or(0);
  if (first != kResolvedStub) return first;
  if (!ReadSmallFile(base + "run/systemd/resolve/resolv.conf", &text)) return first;
  return FirstIpv4Nameserver(text).value_or(first);
}

}  // namespace brelvane::platform
