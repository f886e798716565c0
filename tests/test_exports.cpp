// The shared library exports exactly the names of the model's interface: the
// entry points, the error reporter, the memory manager's operations, the
// network function and every operator it calls (with the kernels' own task
// entry points). Everything else (the task runtime, the logging layer, the
// parameter blobs, standard library instantiations) stays local.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

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

// The kernels: id and tensor parameters.
struct Kernel {
  int id, tensors;
};
#define QEL_TEST_KERNEL_dnn_dnnl(tensors, id)
#define QEL_TEST_KERNEL_dfp_ispc(tensors, id) {0x##id, tensors},
#define QEL_TEST_KERNEL(family, tensors, id) QEL_TEST_KERNEL_##family(tensors, id)
const Kernel kKernels[] = {QEL_NET_OPERATORS(QEL_TEST_KERNEL)};

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

// Beside its wrapper, every kernel exports its export entry (the context and
// one code per tensor parameter) and each of its tasks (a tag of its own, then
// one code per slot of the task's argument block: read-only floats, written
// floats, per-thread scratch). Tags are unique, above every operator id, and
// ascend with the kernel id.
TEST(Exports, EveryKernelsExportEntryAndTasks) {
  const std::set<std::string> names = exported_names();
  const std::string prefix = "qel_x86_4602A7A4_00000000_D0_dfp_ispc_", ctx = "___un_3C_s_5B_unqel_ctx_struct_5D__3E_",
                    tensor = "un_3C_s_5B_unqel_tensor_struct_5D__3E_", r = "un_3C_Cunf_3E_", w = "un_3C_unf_3E_",
                    scratch = "un_3C_unt_3E_";
  const std::regex task(prefix + "([0-9A-F]{4})_([0-9A-F]{4})___UM_(un_3C_(Cunf|unf|unt)_3E_)+");
  std::map<int, std::vector<int>> tags;  // by kernel id
  for (const std::string& n : names) {
    std::smatch m;
    if (std::regex_match(n, m, task)) tags[std::stoi(m[1], nullptr, 16)].push_back(std::stoi(m[2], nullptr, 16));
  }
  ASSERT_EQ(std::size(kKernels), 316u);
  int highest_id = 0, previous_tag = 0;
  for (const std::string op : kOperators)
    highest_id = std::max(highest_id, std::stoi(op.substr(op.size() - 4), nullptr, 16));
  std::map<int, int> tensors;
  for (const Kernel& k : kKernels) tensors[k.id] = k.tensors;
  for (const auto& [id, n] : tensors) {  // ascending ids
    char wrapper[64];
    std::snprintf(wrapper, sizeof wrapper, "%s%04X", prefix.c_str(), id);
    std::string entry = wrapper + ctx;
    for (int t = 0; t < n; ++t) entry += tensor;
    EXPECT_EQ(names.count(entry), 1u) << "missing export entry: " << entry;
    const std::vector<int>& own = tags[id];
    EXPECT_FALSE(own.empty()) << "no task exported for " << wrapper;
    for (int tag : own) {
      EXPECT_GT(tag, highest_id) << wrapper;
      EXPECT_GT(tag, previous_tag) << wrapper << ": tags repeat or fall";
      previous_tag = tag;
    }
  }
  EXPECT_EQ(tags.size(), tensors.size()) << "tasks of something that is not a kernel";
  // Known names of a LeakyReLU, a normalisation, the stem and a fused upsampling.
  for (const std::string& n :
       {prefix + "8213_8566___UM_" + r + w, prefix + "8213" + ctx + tensor + tensor, prefix + "8247_8C1B___UM_" + r + w,
        prefix + "8247_8C65___UM_" + r + r + r + w + r + r, prefix + "8556_E0C2___UM_" + r + w,
        prefix + "8556_E0D1___UM_" + r + w,
        prefix + "8556_E0E1___UM_" + scratch + r + r + r + r + r + r + r + w + w + w + r + r,
        prefix + "8556" + ctx + tensor + tensor + tensor + tensor, prefix + "8222_86EB___UM_" + scratch + r + w})
    EXPECT_EQ(names.count(n), 1u) << "missing export: " << n;
}

}  // namespace
