// Prints one linker option --wrap=<operator> per operator of the network, for
// bench_network_operators: the network function's calls then reach that
// benchmark's timing wrappers, which call the operators themselves.
#include <cstdio>

#include "network_operators.h"

#define QEL_WRAP_STR_I(x) #x
#define QEL_WRAP_STR(x) QEL_WRAP_STR_I(x)
#define QEL_WRAP_PRINT(family, tensors, id) std::puts("--wrap=" QEL_WRAP_STR(QEL_NET_OPERATOR_NAME(family, id)));

int main() {
  QEL_NET_OPERATORS(QEL_WRAP_PRINT)
  return 0;
}
