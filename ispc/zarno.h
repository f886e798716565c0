// Small logging layer used by the task runtime: level test, log line, and a
// throwing call whose exception carries the formatted text.
#pragma once
#include <stdexcept>
#include <string>

namespace zarno {
// Raised by zarno_throw; what() is "<category>: <formatted text>".
class Error : public std::runtime_error {
 public:
  Error(std::string category, const std::string& text)
      : std::runtime_error(category + ": " + text), category_(std::move(category)) {}
  const std::string& category() const { return category_; }

 private:
  std::string category_;
};

// Highest level that is logged; 0 (the default) logs nothing. Levels are set by
// the host program or a test, never read from the environment.
void set_level(int level);
}  // namespace zarno

extern "C" {
int zarno_is_active(int level);
void zarno_log(int level, const char* category, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
[[noreturn]] void zarno_throw(const char* category, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
}
