// Kernels of source 6: the rows of the instance table whose part is 6, that
// is every eighth kernel in ascending id order starting with the 6th.
#define QEL_DFP_PART 6
#include "dfp_forms.h"
#include "dfp_instances.def"
