// Convolution and weight reorder layers of source unit 0 (the layers whose
// rank among all layer ids, in ascending order, leaves remainder 0 by 8).
#define QEL_DNN_KEEP_0(...) __VA_ARGS__
#include "dnn_layer_defs.inc"
