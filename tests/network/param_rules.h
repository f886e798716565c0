// Shapes of the network's 1024 parameters, in the order of their first use:
// stem, dense blocks and transitions, final normalisation, decoder and head.
#pragma once
#include <cstdint>
#include <vector>

namespace netrec {

// Expected shape of parameter k (convolution weights KH, KW, Cin, Cout;
// normalisation and bias vectors one extent).
std::vector<int64_t> param_shape(int k);

}  // namespace netrec
