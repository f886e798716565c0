// Kernels of source 0: the rows of the instance table whose part is 0, that
// is every eighth kernel in ascending id order starting with the 0th.
#define QEL_DFP_PART 0
#include "dfp_forms.h"
#include "dfp_instances.def"
