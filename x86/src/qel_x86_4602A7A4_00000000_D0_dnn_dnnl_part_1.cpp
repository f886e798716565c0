// Convolution and weight reorder layers of source unit 1 (the layers whose
// rank among all layer ids, in ascending order, leaves remainder 1 by 8).
#define QEL_DNN_KEEP_1(...) __VA_ARGS__
#include "dnn_layer_defs.inc"
