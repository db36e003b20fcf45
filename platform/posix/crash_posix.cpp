// SPDX-License-Identifier: MIT
#include "platform/crash.h"

#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace brelvane::platform {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kPathMax = 4096;

// Prepared at install time so the handler allocates nothing.
struct CrashState {
  bool installed = false;
  char program_dir[kPathMax] = {};
  char base_name[kPathMax] = {};
  char long_form[1024] = {};
  char short_form[256] = {};
  char reporter[kPathMax] = {};  // empty: none found at install
  char exe_path[kPathMax] = {};
  char addr2line[kPathMax] = {};  // empty: binutils not found at install
  // The program's own load bias (0 unless position-independent) and the
  // address range of its loaded segments: return addresses inside it are
  // given to addr2line relative to the bias.
  uintptr_t exe_bias = 0;
  uintptr_t exe_low = 0;
  uintptr_t exe_high = 0;
  bool stderr_terminal = false;
  struct sigaction previous[sizeof(kCrashSignals) / sizeof(kCrashSignals[0])];
  std::vector<char> alt_stack;
} g_crash;

void CopyText(char* dst, size_t size, const std::string& src) {
  std::snprintf(dst, size, "%s", src.c_str());
}

std::string OwnPath() {
  char buf[kPathMax];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "brelvane";
  buf[n] = '\0';
  return buf;
}

// Finds the executable `name` on PATH; empty when there is none.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return "";
  std::string p = path;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    // An empty PATH entry means the current directory.
    std::string candidate =
        (end > start ? p.substr(start, end - start) : std::string(1, '.')) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Finds "errorrpt" next to the program, else on PATH.
std::string FindReporter(const std::string& dir) {
  std::string local = dir + "errorrpt";
  if (::access(local.c_str(), X_OK) == 0) return local;
  return FindOnPath("errorrpt");
}

// The first object dl_iterate_phdr reports is the program itself.
int NoteProgramSegments(struct dl_phdr_info* info, size_t /*size*/, void* /*data*/) {
  g_crash.exe_bias = info->dlpi_addr;
  g_crash.exe_low = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const uintptr_t low = info->dlpi_addr + ph.p_vaddr;
    if (low < g_crash.exe_low) g_crash.exe_low = low;
    if (low + ph.p_memsz > g_crash.exe_high) g_crash.exe_high = low + ph.p_memsz;
  }
  return 1;  // stop after the program
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void WriteText(int fd, const char* text) { WriteAll(fd, text, std::strlen(text)); }

void CopyFileTo(const char* path, int out) {
  int in = ::open(path, O_RDONLY);
  if (in < 0) return;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(in, buf, sizeof(buf))) > 0) WriteAll(out, buf, static_cast<size_t>(n));
  ::close(in);
}

// "0x" and the hexadecimal digits of `value` into `out` (at least 19 bytes).
void FormatHex(uintptr_t value, char* out) {
  char digits[2 * sizeof(uintptr_t)];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 0xf];
    value >>= 4;
  } while (value != 0);
  *out++ = '0';
  *out++ = 'x';
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
}

// The faulting instruction, from the signal context; 0 where unknown.
uintptr_t FaultingPc(void* context) {
  if (!context) return 0;
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
}

// Appends function, file and line of the program's own frames to `fd`, as
// "addr2line -f -C -i -p -a" prints them.  The work happens in a child
// process (fork + exec only, both safe in a signal handler); the handler
// waits for it at most kSymbolWaitMs and kills it after.
void AppendSymbols(int fd, void* const* frames, int count, uintptr_t pc) {
  if (g_crash.addr2line[0] == '\0' || g_crash.exe_path[0] == '\0') {
    WriteText(fd, "(addr2line not found: no symbols)\n");
    return;
  }
  constexpr int kMaxFrames = 128;
  constexpr int kSymbolWaitMs = 10000;
  char hex[kMaxFrames][2 + 2 * sizeof(uintptr_t) + 1];
  char* argv[kMaxFrames + 10];
  int argc = 0;
  static char kFunctions[] = "-f", kDemangle[] = "-C", kInlines[] = "-i", kPretty[] = "-p",
              kAddresses[] = "-a", kExe[] = "-e";
  for (char* fixed : {g_crash.addr2line, kFunctions, kDemangle, kInlines, kPretty, kAddresses,
                      kExe, g_crash.exe_path})
    argv[argc++] = fixed;
  int addresses = 0;
  for (int i = 0; i < count && addresses < kMaxFrames; ++i) {
    uintptr_t a = reinterpret_cast<uintptr_t>(frames[i]);
    if (a < g_crash.exe_low || a >= g_crash.exe_high) continue;
    // A return address points after its call: step back into the call,
    // except for the faulting instruction itself.
    if (a != pc) a -= 1;
    FormatHex(a - g_crash.exe_bias, hex[addresses]);
    argv[argc++] = hex[addresses++];
  }
  argv[argc] = nullptr;
  if (addresses == 0) return;

  const pid_t pid = ::fork();
  if (pid < 0) return;
  if (pid == 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execv(g_crash.addr2line, argv);
    ::_exit(127);
  }
  int status = 0;
  for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= kSymbolWaitMs) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      WriteText(fd, "(addr2line took too long)\n");
      return;
    }
    struct timespec ten_ms = {0, 10 * 1000 * 1000};
    ::nanosleep(&ten_ms, nullptr);
  }
}

void CrashHandler(int sig, siginfo_t* info, void* context) {
  void* address = info ? info->si_addr : nullptr;
  char stamp[64];
  std::time_t now = std::time(nullptr);
  struct tm tm_local;
  localtime_r(&now, &tm_local);
  std::strftime(stamp, sizeof(stamp), "-%Y%m%d-%H%M%S-0.dmp", &tm_local);

  // First free digit, as ChooseDumpName does, without allocating.
  char name[kPathMax + 64];
  char full[2 * kPathMax + 64];
  for (int d = 0; d <= 9; ++d) {
    std::snprintf(name, sizeof(name), "%s%s", g_crash.base_name, stamp);
    size_t len = std::strlen(name);
    if (len >= 5) name[len - 5] = static_cast<char>('0' + d);
    std::snprintf(full, sizeof(full), "%s%s", g_crash.program_dir, name);
    if (::access(full, F_OK) != 0) break;
  }

  char message[4096];
  int fd = ::open(full, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char head[512];
    std::snprintf(head, sizeof(head),
                  "signal: %d (%s)\nfault address: %p\nprocess: %d\nthread: %ld\n\nbacktrace:\n",
                  sig, strsignal(sig), address, static_cast<int>(::getpid()),
                  static_cast<long>(::gettid()));
    WriteText(fd, head);
    void* frames[128];
    int count = ::backtrace(frames, 128);
    ::backtrace_symbols_fd(frames, count, fd);
    WriteText(fd, "\nsymbols:\n");
    AppendSymbols(fd, frames, count, FaultingPc(context));
    WriteText(fd, "\nmemory map:\n");
    CopyFileTo("/proc/self/maps", fd);
    ::close(fd);
    std::snprintf(message, sizeof(message), g_crash.long_form, g_crash.program_dir, name,
                  static_cast<unsigned>(sig), address);
  } else {
    std::snprintf(message, sizeof(message), g_crash.short_form, static_cast<unsigned>(sig),
                  address);
  }
  // A progress line may be on screen: start the message on a clean line.
  if (g_crash.stderr_terminal) WriteText(STDERR_FILENO, "\r\033[K");
  WriteText(STDERR_FILENO, message);
  WriteText(STDERR_FILENO, "\n");

  if (g_crash.reporter[0] != '\0') {
    pid_t pid = ::fork();
    if (pid == 0) {
      // The reporter gets the time-stamp text as its one argument.
      char* const argv[] = {g_crash.reporter, stamp, nullptr};
      ::execv(g_crash.reporter, argv);
      ::_exit(127);
    }
  }

  // Default action: the signal is blocked while we run, so re-raising it
  // ends the process as soon as the handler returns.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

std::string ProgramDirectory(const std::string& program_path) {
  size_t slash = program_path.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : program_path.substr(0, slash + 1);
}

std::string DumpBaseName(const std::string& program_path) {
  size_t slash = program_path.find_last_of('/');
  std::string file = slash == std::string::npos ? program_path : program_path.substr(slash + 1);
  size_t dot = file.find_last_of('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

std::string DumpTimeStamp(std::time_t t) {
  struct tm tm_local;
  localtime_r(&t, &tm_local);
  char stamp[64];
  std::strftime(stamp, sizeof(stamp), "-%Y%m%d-%H%M%S-0.dmp", &tm_local);
  return stamp;
}

std::string ChooseDumpName(const std::string& dir, const std::string& base,
                           const std::string& stamp,
                           const std::function<bool(const std::string&)>& exists) {
  std::string name = base + stamp;
  const size_t digit = name.size() - 5;  // just before ".dmp"
  for (char d = '0'; d <= '9'; ++d) {
    name[digit] = d;
    if (!exists(dir + name)) return name;
  }
  return name;  // all ten taken: the 9 name is overwritten
}

void InstallCrashHandler(const std::string& long_form, const std::string& short_form) {
  if (g_crash.installed) return;
  const std::string path = OwnPath();
  const std::string dir = ProgramDirectory(path);
  CopyText(g_crash.program_dir, sizeof(g_crash.program_dir), dir);
  CopyText(g_crash.base_name, sizeof(g_crash.base_name), DumpBaseName(path));
  CopyText(g_crash.reporter, sizeof(g_crash.reporter), FindReporter(dir));
  CopyText(g_crash.exe_path, sizeof(g_crash.exe_path), path);
  CopyText(g_crash.addr2line, sizeof(g_crash.addr2line), FindOnPath("addr2line"));
  ::dl_iterate_phdr(NoteProgramSegments, nullptr);
  g_crash.stderr_terminal = ::isatty(STDERR_FILENO) == 1;
  SetCrashMessages(long_form, short_form);

  // backtrace() loads libgcc on first use; do it now, not inside the handler.
  void* frames[4];
  (void)::backtrace(frames, 4);

  // A stack overflow must still reach the handler.
  g_crash.alt_stack.resize(1 << 16);
  stack_t ss{};
  ss.ss_sp = g_crash.alt_stack.data();
  ss.ss_size = g_crash.alt_stack.size();
  ::sigaltstack(&ss, nullptr);

  struct sigaction sa{};
  sa.sa_sigaction = CrashHandler;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < sizeof(kCrashSignals) / sizeof(kCrashSignals[0]); ++i)
    ::sigaction(kCrashSignals[i], &sa, &g_crash.previous[i]);
  g_crash.installed = true;
}

void SetCrashMessages(const std::string& long_form, const std::string& short_form) {
  CopyText(g_crash.long_form, sizeof(g_crash.long_form), long_form);
  CopyText(g_crash.short_form, sizeof(g_crash.short_form), short_form);
}

void UninstallCrashHandler() {
  if (!g_crash.installed) return;
  for (size_t i = 0; i < sizeof(kCrashSignals) / sizeof(kCrashSignals[0]); ++i)
    ::sigaction(kCrashSignals[i], &g_crash.previous[i], nullptr);
  g_crash.installed = false;
}

}  // namespace brelvane::platform
