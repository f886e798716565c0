// The shared library exports exactly the names the model's interface defines:
// entry points, the error reporter, the memory manager's operations, the network
// function and its operators. Everything else (the task runtime, the logging
// layer, standard library instantiations, parameter blobs) stays local.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>

namespace {

std::set<std::string> dynamic_symbols(const std::string& flags) {
  std::set<std::string> names;
  const std::string cmd = "nm -D --defined-only " + flags + " " QEL_LIBRARY_PATH;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return names;
  char line[4096];
  while (fgets(line, sizeof line, p)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    const size_t sp = s.find(' ', s.find(' ') + 1);
    if (sp != std::string::npos) names.insert(s.substr(sp + 1));
  }
  pclose(p);
  return names;
}

}  // namespace

TEST(Exports, OnlyInterfaceNamesAreExported) {
  const std::set<std::string> names = dynamic_symbols("--demangle");
  ASSERT_FALSE(names.empty());
  const std::regex allowed(
      "qel_pellavine_(init|set_IO|run|optimize|get_output|sync|free|free_host|free_device|set_seed)"
      "|qel_predict|qel_exception_throw"
      "|qel_x86_4602A7A4_00000000_D0(_seed)?"
      "|qel_x86_4602A7A4_00000000_D0_dnn_dnnl_[0-9A-F]{4}"
      "|qel_x86_4602A7A4_00000000_D0_dfp_ispc_[0-9A-F]{4}(_.*)?"
      "|qel::nvidia::(deployment_(malloc|free|memset|init|optimize|run|free_managed_memory)|reserved_memory)\\(.*\\)");
  for (const std::string& n : names) EXPECT_TRUE(std::regex_match(n, allowed)) << "unexpected export: " << n;
}

TEST(Exports, RuntimeNamesArePresent) {
  const std::set<std::string> names = dynamic_symbols("--demangle");
  for (const char* n : {"qel_exception_throw",
                        "qel::nvidia::deployment_malloc(qel_handle_struct const*, qel_tensor_struct*)",
                        "qel::nvidia::deployment_free(qel_handle_struct const*, qel_tensor_struct*)",
                        "qel::nvidia::deployment_memset(qel_handle_struct const*, qel_tensor_struct const*, void const*, void*)",
                        "qel::nvidia::deployment_init(qel_handle_struct const*, qel_tensor_struct*)",
                        "qel::nvidia::deployment_optimize(void (*)(qel_ctx_struct const*), qel_ctx_struct const*, int)",
                        "qel::nvidia::deployment_run(void (*)(qel_ctx_struct const*), qel_ctx_struct const*)",
                        "qel::nvidia::deployment_free_managed_memory()",
                        "qel::nvidia::reserved_memory(unsigned long, unsigned long)"})
    EXPECT_EQ(names.count(n), 1u) << "missing export: " << n;
  for (const char* n : {"ISPCAlloc", "ISPCLaunch", "ISPCSync", "ISPCNumThreads", "ISPCThreadNum", "ISPCInstrument",
                        "zarno_throw", "zarno_log", "zarno_is_active"})
    EXPECT_EQ(names.count(n), 0u) << "internal name exported: " << n;
}
