#include "runtime/qel_check.h"

#include <cstdlib>
#include <iostream>
#include <string>

void qel_exception_throw(const char* module, const char* file, int line, const char* message) {
  std::cout << "Module: " << module << std::endl;
  std::cout << "File: " << file << std::endl;
  std::cout << "Line: " << line << std::endl;
  std::cout << "Message: " << message << std::endl;
  std::exit(1);
}

void qel_tensor_check_shape(const int64_t* extents, const int64_t* expected, int n) {
  for (int i = 0; i < n; ++i)
    if (extents[i] != expected[i]) throw 0;
}

void qel_tensor_check_render_shape(std::ostringstream& os, const qel_tensor_struct* t) {
  const int n = t->rank > 8 ? 8 : t->rank;
  for (int i = 0; i < n; ++i) {
    if (i) os << ", ";
    os << t->extents[i];
  }
}

namespace qel {
namespace detail {

namespace {
// A code without a name still yields a readable report.
std::string type_name(int32_t code) {
  const char* s = qel_dtype_str(code);
  return s ? std::string(s) : "unknown type " + std::to_string(code);
}
}  // namespace

void report_mismatch(const char* file, int line, const qel_tensor_struct* t, const char* name,
                     int32_t dtype, const int64_t* expected, int n) {
  std::string message;
  {
    std::ostringstream os;
    os << "Wrong input Tensor (" << name << ") detected:\n";
    os << "  Expected: " << type_name(dtype) << ", [";
    for (int i = 0; i < n; ++i) {
      if (i) os << ", ";
      os << expected[i];
    }
    os << "]\n";
    os << "  Found:    " << type_name(t->dtype) << ", [";
    qel_tensor_check_render_shape(os, t);
    os << "]\n";
    message = os.str();
  }
  qel_exception_throw("VOKT", file, line, message.c_str());
}

}  // namespace detail
}  // namespace qel
