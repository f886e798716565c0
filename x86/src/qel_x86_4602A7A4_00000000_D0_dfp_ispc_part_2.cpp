// Kernels of source 2: the rows of the instance table whose part is 2, that
// is every eighth kernel in ascending id order starting with the 2th.
#define QEL_DFP_PART 2
#include "dfp_forms.h"
#include "dfp_instances.def"
