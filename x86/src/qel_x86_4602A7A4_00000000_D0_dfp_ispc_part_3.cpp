// Kernels of source 3: the rows of the instance table whose part is 3, that
// is every eighth kernel in ascending id order starting with the 3th.
#define QEL_DFP_PART 3
#include "dfp_forms.h"
#include "dfp_instances.def"
