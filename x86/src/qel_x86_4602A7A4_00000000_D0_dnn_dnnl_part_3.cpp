// Convolution and weight reorder layers of source unit 3 (the layers whose
// rank among all layer ids, in ascending order, leaves remainder 3 by 8).
#define QEL_DNN_KEEP_3(...) __VA_ARGS__
#include "dnn_layer_defs.inc"
