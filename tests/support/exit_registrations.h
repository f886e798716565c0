// Sees every exit handler registered in this process. The program defines the
// C runtime's registration call itself (atexit calls it too) and is linked with
// its symbols exported, so that every library's registrations reach it first;
// it counts them and passes them on. Include this in one source file of a
// program.
#pragma once
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace exit_registrations {

// Since the last restart(): handlers of functions outside the library under
// test (oneDNN's, the C++ runtime's), those of the library itself (its exit
// mark), and the library's since the last one outside it.
inline std::atomic<int> g_others{0}, g_library{0}, g_library_since_other{0};
// When the last handler outside the library was registered, in steady-clock
// ticks.
inline std::atomic<long long> g_last_other{0};
// A file name that tells the library under test; empty: every handler is
// counted as outside it.
inline const char* g_library_name = "";

inline void restart(const char* library_name = "") {
  g_library_name = library_name;
  g_others = g_library = g_library_since_other = 0;
}

inline int total() { return g_others + g_library; }

inline bool in_library(void* fn) {
  Dl_info info{};
  return *g_library_name != '\0' && dladdr(fn, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, g_library_name) != nullptr;
}

}  // namespace exit_registrations

extern "C" __attribute__((visibility("default"))) int __cxa_atexit(void (*fn)(void*), void* arg, void* dso) {
  using Register = int (*)(void (*)(void*), void*, void*);
  static const Register next = reinterpret_cast<Register>(dlsym(RTLD_NEXT, "__cxa_atexit"));
  namespace er = exit_registrations;
  if (er::in_library(reinterpret_cast<void*>(fn))) {
    ++er::g_library;
    ++er::g_library_since_other;
  } else {
    er::g_last_other = std::chrono::steady_clock::now().time_since_epoch().count();
    er::g_library_since_other = 0;
    ++er::g_others;
  }
  return next(fn, arg, dso);
}
