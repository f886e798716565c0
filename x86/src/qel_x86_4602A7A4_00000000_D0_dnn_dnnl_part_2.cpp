// Convolution and weight reorder layers of source unit 2 (the layers whose
// rank among all layer ids, in ascending order, leaves remainder 2 by 8).
#define QEL_DNN_KEEP_2(...) __VA_ARGS__
#include "dnn_layer_defs.inc"
