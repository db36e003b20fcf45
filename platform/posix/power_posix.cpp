// SPDX-License-Identifier: MIT
// logind's Inhibit call, through libsystemd's sd-bus loaded at run time so
// that the program neither links nor needs libsystemd.
#include "platform/power.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace brelvane::platform {
namespace {

struct SdBusError {
  const char* name;
  const char* message;
  int need_free;
};

using OpenSystemFn = int (*)(void**);
using CallMethodFn = int (*)(void*, const char*, const char*, const char*, const char*,
                             SdBusError*, void**, const char*, ...);
using ReadFn = int (*)(void*, const char*, ...);
using UnrefFn = void* (*)(void*);
using ErrorFreeFn = void (*)(SdBusError*);

}  // namespace

SuspendInhibitor::SuspendInhibitor(const char* who, const char* why) {
  void* lib = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return;
  auto open_system = reinterpret_cast<OpenSystemFn>(::dlsym(lib, "sd_bus_open_system"));
  auto call_method = reinterpret_cast<CallMethodFn>(::dlsym(lib, "sd_bus_call_method"));
  auto read = reinterpret_cast<ReadFn>(::dlsym(lib, "sd_bus_message_read"));
  auto message_unref = reinterpret_cast<UnrefFn>(::dlsym(lib, "sd_bus_message_unref"));
  auto bus_unref = reinterpret_cast<UnrefFn>(::dlsym(lib, "sd_bus_flush_close_unref"));
  auto error_free = reinterpret_cast<ErrorFreeFn>(::dlsym(lib, "sd_bus_error_free"));
  if (!open_system || !call_method || !read || !message_unref || !bus_unref || !error_free) {
    ::dlclose(lib);
    return;
  }
  void* bus = nullptr;
  if (open_system(&bus) >= 0 && bus) {
    SdBusError error{nullptr, nullptr, 0};
    void* reply = nullptr;
    if (call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                    "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", "sleep",
                    who, why, "block") >= 0 &&
        reply) {
      int fd = -1;
      // The lock lives as long as we hold a descriptor of the returned pipe.
      if (read(reply, "h", &fd) >= 0 && fd >= 0) fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      message_unref(reply);
    }
    error_free(&error);
    bus_unref(bus);
  }
  ::dlclose(lib);
}

SuspendInhibitor::~SuspendInhibitor() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace brelvane::platform
