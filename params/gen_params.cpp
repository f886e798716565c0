// Writes a deterministic stand-in for the network's trained parameters: the
// 1024 blobs, each as raw little-endian f32 values, into the folder given on
// the command line. The values keep the activations of the network finite and
// of ordinary size:
//   convolution weights  normal, standard deviation sqrt(2 / (KH x KW x Cin));
//   gamma                uniform in [0.9, 1.1];
//   beta, mean           normal, standard deviation 0.1;
//   variance             uniform in [0.75, 1.25];
//   bias                 normal, standard deviation 0.01.
// Every blob draws from its own stream, seeded from a fixed seed and its index,
// with a generator written out here (xoshiro256** and the polar method), so the
// output does not depend on the standard library's distributions.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "param_blobs.h"
#include "qel_pellavine_params.h"

namespace {

constexpr uint64_t kSeed = 0x51D0C0DE2026ULL;

uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class Stream {
 public:
  explicit Stream(uint64_t seed) {
    for (uint64_t& w : s_) w = splitmix64(seed);
  }
  // Uniform in [0, 1) with 53 random bits.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Standard normal by the polar method; the second value of a pair is kept.
  double normal() {
    if (have_spare_) {
      have_spare_ = false;
      return spare_;
    }
    double u, v, s;
    do {
      u = 2.0 * uniform() - 1.0;
      v = 2.0 * uniform() - 1.0;
      s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    spare_ = v * f;
    have_spare_ = true;
    return u * f;
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  uint64_t s_[4];
  double spare_ = 0.0;
  bool have_spare_ = false;
};

float draw(Stream& rng, const qel::params::Shape& shape) {
  using qel::params::Kind;
  switch (shape.kind) {
    case Kind::Weight: {
      const double fan_in = static_cast<double>(shape.extents[0] * shape.extents[1] * shape.extents[2]);
      return static_cast<float>(rng.normal() * std::sqrt(2.0 / fan_in));
    }
    case Kind::Gamma: return static_cast<float>(0.9 + 0.2 * rng.uniform());
    case Kind::Beta:
    case Kind::Mean: return static_cast<float>(0.1 * rng.normal());
    case Kind::Variance: return static_cast<float>(0.75 + 0.5 * rng.uniform());
    case Kind::Bias: return static_cast<float>(0.01 * rng.normal());
  }
  return 0.0f;
}

bool write_blob(const std::filesystem::path& path, const qel::params::Shape& shape, Stream& rng,
                std::vector<unsigned char>& bytes) {
  bytes.resize(static_cast<std::size_t>(shape.count) * 4);
  for (int64_t i = 0; i < shape.count; ++i) {
    const float v = draw(rng, shape);
    uint32_t u;
    std::memcpy(&u, &v, 4);
    unsigned char* b = &bytes[static_cast<std::size_t>(i) * 4];
    b[0] = static_cast<unsigned char>(u);
    b[1] = static_cast<unsigned char>(u >> 8);
    b[2] = static_cast<unsigned char>(u >> 16);
    b[3] = static_cast<unsigned char>(u >> 24);
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "cannot create parameter folder %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }
  std::vector<unsigned char> bytes;
  for (int n = 0; n < qel::params::kCount; ++n) {
    uint64_t mix = kSeed ^ (static_cast<uint64_t>(n) * 0xD1B54A32D192ED03ULL);
    Stream rng(splitmix64(mix));
    const std::filesystem::path path = dir / qel::params::blob_name(n);
    if (!write_blob(path, qel::params::kShapes[static_cast<std::size_t>(n)], rng, bytes)) {
      std::fprintf(stderr, "cannot write parameter blob %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
