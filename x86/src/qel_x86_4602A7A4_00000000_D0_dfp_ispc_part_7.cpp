// Kernels of source 7: the rows of the instance table whose part is 7, that
// is every eighth kernel in ascending id order starting with the 7th.
#define QEL_DFP_PART 7
#include "dfp_forms.h"
#include "dfp_instances.def"
