// Kernels of source 5: the rows of the instance table whose part is 5, that
// is every eighth kernel in ascending id order starting with the 5th.
#define QEL_DFP_PART 5
#include "dfp_forms.h"
#include "dfp_instances.def"
