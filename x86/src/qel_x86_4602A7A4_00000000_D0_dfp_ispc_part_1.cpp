// Kernels of source 1: the rows of the instance table whose part is 1, that
// is every eighth kernel in ascending id order starting with the 1th.
#define QEL_DFP_PART 1
#include "dfp_forms.h"
#include "dfp_instances.def"
