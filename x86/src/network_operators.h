// The 736 operators that the network function calls: 210 convolution layers and
// 210 weight reorders (the dnn_dnnl family) and 316 vectorised kernels (the
// dfp_ispc family). Each is an exported C function named after its four-digit
// hexadecimal id and takes the execution context followed by one to four tensor
// descriptors in an order fixed per operator.
//
// QEL_NET_OPERATORS(X) lists every operator once as X(family, tensors, id); the
// declarations below and the network's operator table both expand it, so an
// operator whose definition disagrees with its declaration does not compile.
#pragma once
#include "runtime/qel_export.h"
#include "runtime/qel_records.h"

#define QEL_NET_OPERATOR_NAME(family, id) qel_x86_4602A7A4_00000000_D0_##family##_##id

// Convolution and reorder layers receive the context read-only; kernel
// wrappers take it as a plain pointer (they only read it as well).
#define QEL_NET_PARAMS_dnn_dnnl_1 const qel_ctx_struct*, qel_tensor_struct*
#define QEL_NET_PARAMS_dnn_dnnl_2 QEL_NET_PARAMS_dnn_dnnl_1, qel_tensor_struct*
#define QEL_NET_PARAMS_dnn_dnnl_3 QEL_NET_PARAMS_dnn_dnnl_2, qel_tensor_struct*
#define QEL_NET_PARAMS_dfp_ispc_1 qel_ctx_struct*, qel_tensor_struct*
#define QEL_NET_PARAMS_dfp_ispc_2 QEL_NET_PARAMS_dfp_ispc_1, qel_tensor_struct*
#define QEL_NET_PARAMS_dfp_ispc_3 QEL_NET_PARAMS_dfp_ispc_2, qel_tensor_struct*
#define QEL_NET_PARAMS_dfp_ispc_4 QEL_NET_PARAMS_dfp_ispc_3, qel_tensor_struct*

using qel_net_layer1_fn = void (*)(QEL_NET_PARAMS_dnn_dnnl_1);
using qel_net_layer2_fn = void (*)(QEL_NET_PARAMS_dnn_dnnl_2);
using qel_net_layer3_fn = void (*)(QEL_NET_PARAMS_dnn_dnnl_3);
using qel_net_kernel1_fn = void (*)(QEL_NET_PARAMS_dfp_ispc_1);
using qel_net_kernel2_fn = void (*)(QEL_NET_PARAMS_dfp_ispc_2);
using qel_net_kernel3_fn = void (*)(QEL_NET_PARAMS_dfp_ispc_3);
using qel_net_kernel4_fn = void (*)(QEL_NET_PARAMS_dfp_ispc_4);

// Stem: input_pad (destination), reorder of P0 (destination), 7 x 7 convolution
// (destination, weights, source), fused normalisation and max pooling
// (input, pool, activation, normalised).
#define QEL_NET_STEM_OPERATORS(X) \
  X(dfp_ispc, 1, 8558) X(dnn_dnnl, 1, 8559) X(dnn_dnnl, 3, 8557) X(dfp_ispc, 4, 8556)

// Block-input copies of dense blocks 1 to 4 (source, buffer).
#define QEL_NET_BLOCK_INPUT_OPERATORS(X) \
  X(dfp_ispc, 2, 853C) X(dfp_ispc, 2, 84F8) X(dfp_ispc, 2, 8409) X(dfp_ispc, 2, 82E5)

// Dense layers, one row per layer and block by block, in the columns of the
// dense-layer tables: input normalisation (output, input; absent in layer 0),
// 1x1 reorder (destination), bottleneck convolution (destination, source,
// weights), bottleneck normalisation (input, output), 3x3 reorder (destination),
// growth convolution (destination, source, weights), slice copy (source, buffer).
#define QEL_NET_DENSE_FIRST(X, r1, bconv, bnorm, r3, gconv, copy) \
  X(dnn_dnnl, 1, r1) X(dnn_dnnl, 3, bconv) X(dfp_ispc, 2, bnorm) X(dnn_dnnl, 1, r3) \
  X(dnn_dnnl, 3, gconv) X(dfp_ispc, 2, copy)
#define QEL_NET_DENSE_LAYER(X, norm, r1, bconv, bnorm, r3, gconv, copy) \
  X(dfp_ispc, 2, norm) QEL_NET_DENSE_FIRST(X, r1, bconv, bnorm, r3, gconv, copy)

#define QEL_NET_DENSE_BLOCK_1(FIRST, LAYER, X) \
  FIRST(X, 8542, 8540, 853F, 8543, 853E, 853D) \
  LAYER(X, 853A, 8544, 8539, 8538, 8545, 8537, 8536) \
  LAYER(X, 8534, 8546, 8533, 8532, 8547, 8531, 8530) \
  LAYER(X, 852E, 8548, 852D, 852C, 8549, 852B, 852A) \
  LAYER(X, 8528, 854A, 8527, 8526, 854B, 8525, 8524) \
  LAYER(X, 8522, 854C, 8521, 8520, 854D, 851F, 851E)

#define QEL_NET_DENSE_BLOCK_2(FIRST, LAYER, X) \
  FIRST(X, 84FE, 84FC, 84FB, 84FF, 84FA, 84F9) \
  LAYER(X, 84F6, 8500, 84F5, 84F4, 8501, 84F3, 84F2) \
  LAYER(X, 84F0, 8502, 84EF, 84EE, 8503, 84ED, 84EC) \
  LAYER(X, 84EA, 8504, 84E9, 84E8, 8505, 84E7, 84E6) \
  LAYER(X, 84E4, 8506, 84E3, 84E2, 8507, 84E1, 84E0) \
  LAYER(X, 84DE, 8508, 84DD, 84DC, 8509, 84DB, 84DA) \
  LAYER(X, 84D8, 850A, 84D7, 84D6, 850B, 84D5, 84D4) \
  LAYER(X, 84D2, 850C, 84D1, 84D0, 850D, 84CF, 84CE) \
  LAYER(X, 84CC, 850E, 84CB, 84CA, 850F, 84C9, 84C8) \
  LAYER(X, 84C6, 8510, 84C5, 84C4, 8511, 84C3, 84C2) \
  LAYER(X, 84C0, 8512, 84BF, 84BE, 8513, 84BD, 84BC) \
  LAYER(X, 84BA, 8514, 84B9, 84B8, 8515, 84B7, 84B6)

#define QEL_NET_DENSE_BLOCK_3(FIRST, LAYER, X) \
  FIRST(X, 840F, 840D, 840C, 8410, 840B, 840A) \
  LAYER(X, 8407, 8411, 8406, 8405, 8412, 8404, 8403) \
  LAYER(X, 8401, 8413, 8400, 83FF, 8414, 83FE, 83FD) \
  LAYER(X, 83FB, 8415, 83FA, 83F9, 8416, 83F8, 83F7) \
  LAYER(X, 83F5, 8417, 83F4, 83F3, 8418, 83F2, 83F1) \
  LAYER(X, 83EF, 8419, 83EE, 83ED, 841A, 83EC, 83EB) \
  LAYER(X, 83E9, 841B, 83E8, 83E7, 841C, 83E6, 83E5) \
  LAYER(X, 83E3, 841D, 83E2, 83E1, 841E, 83E0, 83DF) \
  LAYER(X, 83DD, 841F, 83DC, 83DB, 8420, 83DA, 83D9) \
  LAYER(X, 83D7, 8421, 83D6, 83D5, 8422, 83D4, 83D3) \
  LAYER(X, 83D1, 8423, 83D0, 83CF, 8424, 83CE, 83CD) \
  LAYER(X, 83CB, 8425, 83CA, 83C9, 8426, 83C8, 83C7) \
  LAYER(X, 83C5, 8427, 83C4, 83C3, 8428, 83C2, 83C1) \
  LAYER(X, 83BF, 8429, 83BE, 83BD, 842A, 83BC, 83BB) \
  LAYER(X, 83B9, 842B, 83B8, 83B7, 842C, 83B6, 83B5) \
  LAYER(X, 83B3, 842D, 83B2, 83B1, 842E, 83B0, 83AF) \
  LAYER(X, 83AD, 842F, 83AC, 83AB, 8430, 83AA, 83A9) \
  LAYER(X, 83A7, 8431, 83A6, 83A5, 8432, 83A4, 83A3) \
  LAYER(X, 83A1, 8433, 83A0, 839F, 8434, 839E, 839D) \
  LAYER(X, 839B, 8435, 839A, 8399, 8436, 8398, 8397) \
  LAYER(X, 8395, 8437, 8394, 8393, 8438, 8392, 8391) \
  LAYER(X, 838F, 8439, 838E, 838D, 843A, 838C, 838B) \
  LAYER(X, 8389, 843B, 8388, 8387, 843C, 8386, 8385) \
  LAYER(X, 8383, 843D, 8382, 8381, 843E, 8380, 837F) \
  LAYER(X, 837D, 843F, 837C, 837B, 8440, 837A, 8379) \
  LAYER(X, 8377, 8441, 8376, 8375, 8442, 8374, 8373) \
  LAYER(X, 8371, 8443, 8370, 836F, 8444, 836E, 836D) \
  LAYER(X, 836B, 8445, 836A, 8369, 8446, 8368, 8367) \
  LAYER(X, 8365, 8447, 8364, 8363, 8448, 8362, 8361) \
  LAYER(X, 835F, 8449, 835E, 835D, 844A, 835C, 835B) \
  LAYER(X, 8359, 844B, 8358, 8357, 844C, 8356, 8355) \
  LAYER(X, 8353, 844D, 8352, 8351, 844E, 8350, 834F) \
  LAYER(X, 834D, 844F, 834C, 834B, 8450, 834A, 8349) \
  LAYER(X, 8347, 8451, 8346, 8345, 8452, 8344, 8343) \
  LAYER(X, 8341, 8453, 8340, 833F, 8454, 833E, 833D) \
  LAYER(X, 833B, 8455, 833A, 8339, 8456, 8338, 8337) \
  LAYER(X, 8335, 8457, 8334, 8333, 8458, 8332, 8331) \
  LAYER(X, 832F, 8459, 832E, 832D, 845A, 832C, 832B) \
  LAYER(X, 8329, 845B, 8328, 8327, 845C, 8326, 8325) \
  LAYER(X, 8323, 845D, 8322, 8321, 845E, 8320, 831F) \
  LAYER(X, 831D, 845F, 831C, 831B, 8460, 831A, 8319) \
  LAYER(X, 8317, 8461, 8316, 8315, 8462, 8314, 8313) \
  LAYER(X, 8311, 8463, 8310, 830F, 8464, 830E, 830D) \
  LAYER(X, 830B, 8465, 830A, 8309, 8466, 8308, 8307) \
  LAYER(X, 8305, 8467, 8304, 8303, 8468, 8302, 8301) \
  LAYER(X, 82FF, 8469, 82FE, 82FD, 846A, 82FC, 82FB) \
  LAYER(X, 82F9, 846B, 82F8, 82F7, 846C, 82F6, 82F5) \
  LAYER(X, 82F3, 846D, 82F2, 82F1, 846E, 82F0, 82EF)

#define QEL_NET_DENSE_BLOCK_4(FIRST, LAYER, X) \
  FIRST(X, 8470, 82E9, 82E8, 8471, 82E7, 82E6) \
  LAYER(X, 82E3, 8472, 82E2, 82E1, 8473, 82E0, 82DF) \
  LAYER(X, 82DD, 8474, 82DC, 82DB, 8475, 82DA, 82D9) \
  LAYER(X, 82D7, 8476, 82D6, 82D5, 8477, 82D4, 82D3) \
  LAYER(X, 82D1, 8478, 82D0, 82CF, 8479, 82CE, 82CD) \
  LAYER(X, 82CB, 847A, 82CA, 82C9, 847B, 82C8, 82C7) \
  LAYER(X, 82C5, 847C, 82C4, 82C3, 847D, 82C2, 82C1) \
  LAYER(X, 82BF, 847E, 82BE, 82BD, 847F, 82BC, 82BB) \
  LAYER(X, 82B9, 8480, 82B8, 82B7, 8481, 82B6, 82B5) \
  LAYER(X, 82B3, 8482, 82B2, 82B1, 8483, 82B0, 82AF) \
  LAYER(X, 82AD, 8484, 82AC, 82AB, 8485, 82AA, 82A9) \
  LAYER(X, 82A7, 8486, 82A6, 82A5, 8487, 82A4, 82A3) \
  LAYER(X, 82A1, 8488, 82A0, 829F, 8489, 829E, 829D) \
  LAYER(X, 829B, 848A, 829A, 8299, 848B, 8298, 8297) \
  LAYER(X, 8295, 848C, 8294, 8293, 848D, 8292, 8291) \
  LAYER(X, 828F, 848E, 828E, 828D, 848F, 828C, 828B) \
  LAYER(X, 8289, 8490, 8288, 8287, 8491, 8286, 8285) \
  LAYER(X, 8283, 8492, 8282, 8281, 8493, 8280, 827F) \
  LAYER(X, 827D, 8494, 827C, 827B, 8495, 827A, 8279) \
  LAYER(X, 8277, 8496, 8276, 8275, 8497, 8274, 8273) \
  LAYER(X, 8271, 8498, 8270, 826F, 8499, 826E, 826D) \
  LAYER(X, 826B, 849A, 826A, 8269, 849B, 8268, 8267) \
  LAYER(X, 8265, 849C, 8264, 8263, 849D, 8262, 8261) \
  LAYER(X, 825F, 849E, 825E, 825D, 849F, 825C, 825B) \
  LAYER(X, 8259, 84A0, 8258, 8257, 84A1, 8256, 8255) \
  LAYER(X, 8253, 84A2, 8252, 8251, 84A3, 8250, 824F) \
  LAYER(X, 824D, 84A4, 824C, 824B, 84A5, 824A, 8249) \
  LAYER(X, 8247, 84A6, 8246, 8245, 84A7, 8244, 8243) \
  LAYER(X, 8241, 84A8, 8240, 823F, 84A9, 823E, 823D) \
  LAYER(X, 823B, 84AA, 823A, 8239, 84AB, 8238, 8237) \
  LAYER(X, 8235, 84AC, 8234, 8233, 84AD, 8232, 8231) \
  LAYER(X, 822F, 84AE, 822E, 822D, 84AF, 822C, 822B)

// Transitions 1 to 3: normalisation of the whole buffer (input, output), reorder
// (destination), 1x1 convolution (destination, source, weights), average pooling
// with the next block's first normalisation (input, pool, normalised).
#define QEL_NET_TRANSITION_OPERATORS(X) \
  X(dfp_ispc, 2, 851C) X(dnn_dnnl, 1, 854E) X(dnn_dnnl, 3, 851B) X(dfp_ispc, 3, 851A) \
  X(dfp_ispc, 2, 84B4) X(dnn_dnnl, 1, 8516) X(dnn_dnnl, 3, 84B3) X(dfp_ispc, 3, 84B2) \
  X(dfp_ispc, 2, 82ED) X(dnn_dnnl, 1, 846F) X(dnn_dnnl, 3, 82EC) X(dfp_ispc, 3, 82EB)

// Final normalisation (input, output), reduction reorder (destination) and
// reduction convolution (destination, source, weights).
#define QEL_NET_REDUCTION_OPERATORS(X) \
  X(dfp_ispc, 2, 8229) X(dnn_dnnl, 1, 84B0) X(dnn_dnnl, 3, 8228)

// Decoder stages 1 to 4: upsampling (input, output), skip copy (source, buffer),
// first reorder (destination), first convolution (destination, source, weights),
// leaky_relu (input, output), second reorder (destination), second convolution
// (source, destination, weights).
#define QEL_NET_DECODER_OPERATORS(X) \
  X(dfp_ispc, 2, 8227) X(dfp_ispc, 2, 84B1) X(dnn_dnnl, 1, 8517) X(dnn_dnnl, 3, 8225) \
  X(dfp_ispc, 2, 8224) X(dnn_dnnl, 1, 8518) X(dnn_dnnl, 3, 8223) \
  X(dfp_ispc, 2, 8222) X(dfp_ispc, 2, 8519) X(dnn_dnnl, 1, 854F) X(dnn_dnnl, 3, 8220) \
  X(dfp_ispc, 2, 821F) X(dnn_dnnl, 1, 8550) X(dnn_dnnl, 3, 821E) \
  X(dfp_ispc, 2, 821D) X(dfp_ispc, 2, 8551) X(dnn_dnnl, 1, 8553) X(dnn_dnnl, 3, 821B) \
  X(dfp_ispc, 2, 821A) X(dnn_dnnl, 1, 8554) X(dnn_dnnl, 3, 8219) \
  X(dfp_ispc, 2, 8218) X(dfp_ispc, 2, 8555) X(dnn_dnnl, 1, 855A) X(dnn_dnnl, 3, 8216) \
  X(dfp_ispc, 2, 8215) X(dnn_dnnl, 1, 855B) X(dnn_dnnl, 3, 8214)

// Head: leaky_relu of the last stage (input, output), reorder (destination) and
// the head convolution (source, weights), which writes the context's output 0.
#define QEL_NET_HEAD_OPERATORS(X) \
  X(dfp_ispc, 2, 8213) X(dnn_dnnl, 1, 855C) X(dnn_dnnl, 2, 8212)

#define QEL_NET_OPERATORS(X)                                                   \
  QEL_NET_STEM_OPERATORS(X)                                                    \
  QEL_NET_BLOCK_INPUT_OPERATORS(X)                                             \
  QEL_NET_DENSE_BLOCK_1(QEL_NET_DENSE_FIRST, QEL_NET_DENSE_LAYER, X)           \
  QEL_NET_DENSE_BLOCK_2(QEL_NET_DENSE_FIRST, QEL_NET_DENSE_LAYER, X)           \
  QEL_NET_DENSE_BLOCK_3(QEL_NET_DENSE_FIRST, QEL_NET_DENSE_LAYER, X)           \
  QEL_NET_DENSE_BLOCK_4(QEL_NET_DENSE_FIRST, QEL_NET_DENSE_LAYER, X)           \
  QEL_NET_TRANSITION_OPERATORS(X)                                              \
  QEL_NET_REDUCTION_OPERATORS(X)                                               \
  QEL_NET_DECODER_OPERATORS(X)                                                 \
  QEL_NET_HEAD_OPERATORS(X)

#define QEL_NET_DECLARE_OPERATOR(family, tensors, id) \
  QEL_EXPORT void QEL_NET_OPERATOR_NAME(family, id)(QEL_NET_PARAMS_##family##_##tensors);

extern "C" {
QEL_NET_OPERATORS(QEL_NET_DECLARE_OPERATOR)
}
