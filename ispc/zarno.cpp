#include "ispc/zarno.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
std::atomic<int> g_level{0};

std::string vformat(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  std::vsnprintf(buf.data(), buf.size(), fmt, ap);
  return std::string(buf.data(), static_cast<size_t>(n));
}
}  // namespace

void zarno::set_level(int level) { g_level.store(level); }

int zarno_is_active(int level) { return level > 0 && level <= g_level.load() ? 1 : 0; }

void zarno_log(int level, const char* category, const char* file, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string text = vformat(fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "[%d] %s %s:%d: %s\n", level, category, file, line, text.c_str());
}

void zarno_throw(const char* category, const char* file, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string text = vformat(fmt, ap);
  va_end(ap);
  (void)file;
  (void)line;
  throw zarno::Error(category, text);
}
