// File names of the raw parameter blobs shared by the build's parameter tools:
// blob N is the file "qel_pellavine_P<N>_D0_Output" of the parameter folder,
// count(N) little-endian f32 values without header or padding.
#pragma once
#include <string>

namespace qel {
namespace params {

inline std::string blob_name(int n) { return "qel_pellavine_P" + std::to_string(n) + "_D0_Output"; }

}  // namespace params
}  // namespace qel
