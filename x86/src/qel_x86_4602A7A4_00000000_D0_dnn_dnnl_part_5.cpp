// Convolution and weight reorder layers of source unit 5 (the layers whose
// rank among all layer ids, in ascending order, leaves remainder 5 by 8).
#define QEL_DNN_KEEP_5(...) __VA_ARGS__
#include "dnn_layer_defs.inc"
