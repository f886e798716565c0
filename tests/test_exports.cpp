// The shared library exports exactly the names of the model's interface: the
// entry points, the error reporter, the memory manager's operations, the
// network function and every operator it calls (with the kernels' own task
// entry points). Everything else (the task runtime, the logging layer, the
// parameter blobs, standard library instantiations) stays local.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "x86/src/network_operators.h"

namespace {

std::set<std::string> exported_names() {
  std::set<std::string> names;
  FILE* p = popen("nm -D --defined-only --demangle " QEL_LIBRARY_PATH, "r");
  if (!p) return names;
  char line[4096];
  while (fgets(line, sizeof line, p)) {
    const std::string s(line);  // address, type, name
    const size_t sp = s.find(' ', s.find(' ') + 1);
    if (sp != std::string::npos) names.insert(s.substr(sp + 1, s.size() - sp - 2));
  }
  pclose(p);
  return names;
}

#define QEL_TEST_OPERATOR_NAME(family, tensors, id) "qel_x86_4602A7A4_00000000_D0_" #family "_" #id,
const char* const kOperators[] = {QEL_NET_OPERATORS(QEL_TEST_OPERATOR_NAME)};

TEST(Exports, TheInterfaceAndNothingElse) {
  const std::set<std::string> names = exported_names();
  ASSERT_FALSE(names.empty());
  const std::regex allowed(
      "qel_pellavine_(init|set_IO|run|optimize|get_output|sync|free|free_host|free_device|set_seed)"
      "|qel_predict|qel_exception_throw|qel_x86_4602A7A4_00000000_D0(_seed)?"
      "|qel_x86_4602A7A4_00000000_D0_dnn_dnnl_[0-9A-F]{4}"
      "|qel_x86_4602A7A4_00000000_D0_dfp_ispc_[0-9A-F]{4}(_.*)?"
      "|qel::nvidia::(deployment_(malloc|free|memset|init|optimize|run|free_managed_memory)|reserved_memory)\\(.*\\)");
  for (const std::string& n : names) EXPECT_TRUE(std::regex_match(n, allowed)) << "unexpected export: " << n;

  const std::string handle = "(qel_handle_struct const*, qel_tensor_struct*)";
  const std::string network = "(void (*)(qel_ctx_struct const*), qel_ctx_struct const*";
  std::set<std::string> required = {
      "qel_pellavine_init", "qel_pellavine_set_IO", "qel_pellavine_run", "qel_pellavine_optimize",
      "qel_pellavine_get_output", "qel_pellavine_sync", "qel_pellavine_free", "qel_pellavine_free_host",
      "qel_pellavine_free_device", "qel_pellavine_set_seed", "qel_predict", "qel_exception_throw",
      "qel_x86_4602A7A4_00000000_D0", "qel_x86_4602A7A4_00000000_D0_seed",
      "qel::nvidia::deployment_malloc" + handle, "qel::nvidia::deployment_free" + handle,
      "qel::nvidia::deployment_init" + handle,
      "qel::nvidia::deployment_memset(qel_handle_struct const*, qel_tensor_struct const*, void const*, void*)",
      "qel::nvidia::deployment_optimize" + network + ", int)", "qel::nvidia::deployment_run" + network + ")",
      "qel::nvidia::deployment_free_managed_memory()", "qel::nvidia::reserved_memory(unsigned long, unsigned long)"};
  required.insert(std::begin(kOperators), std::end(kOperators));
  EXPECT_EQ(required.size(), 22u + 736u);
  for (const std::string& n : required) EXPECT_EQ(names.count(n), 1u) << "missing export: " << n;
}

}  // namespace
