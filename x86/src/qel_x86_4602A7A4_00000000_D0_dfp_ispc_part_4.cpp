// Kernels of source 4: the rows of the instance table whose part is 4, that
// is every eighth kernel in ascending id order starting with the 4th.
#define QEL_DFP_PART 4
#include "dfp_forms.h"
#include "dfp_instances.def"
