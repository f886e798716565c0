// The embedded parameter blobs and the build's parameter tools: the blob
// symbols of the shared library, the generated set and the distributions it is
// drawn from, and the embedder's refusal of a bad blob folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/param_rules.h"

namespace fs = std::filesystem;

namespace {

std::string blob_path(const std::string& dir, int n) {
  return dir + "/qel_pellavine_P" + std::to_string(n) + "_D0_Output";
}

// Runs a command; returns its exit status and its combined output.
int run(const std::string& cmd, std::string* out) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Start, end and size symbols of every blob: local (the export test keeps
// them out of the dynamic table), in index order without gaps, sized.
TEST(BlobSymbols, LocalContiguousInIndexOrderAndSized) {
  std::string listing;
  ASSERT_EQ(run("nm --defined-only " QEL_LIBRARY_PATH " | grep _binary_qel_pellavine_P | sort -t P -k 2n", &listing), 0);
  std::istringstream in(listing);
  const char* const parts[3] = {"start", "end", "size"};
  uint64_t value[3], next = 0;
  for (int n = 0; n < 1024; ++n) {
    const uint64_t bytes = 4 * static_cast<uint64_t>(rules::params()[static_cast<size_t>(n)].count());
    std::string line[3];
    for (int k = 0; k < 3; ++k) {
      ASSERT_TRUE(std::getline(in, line[k]));
      const std::string suffix = "_binary_qel_pellavine_P" + std::to_string(n) + "_D0_Output_";
      const size_t at = line[k].find(suffix);
      ASSERT_NE(at, std::string::npos) << line[k];
      const int part = static_cast<int>(std::find(parts, parts + 3, line[k].substr(at + suffix.size())) - parts);
      ASSERT_LT(part, 3) << line[k];
      value[part] = std::stoull(line[k], nullptr, 16);
      EXPECT_EQ(line[k][at - 2], part == 2 ? 'a' : 'd') << line[k];
    }
    if (n == 0) next = value[0];
    EXPECT_TRUE(value[0] == next && value[1] - value[0] == bytes && value[2] == bytes) << "P" << n;
    next = value[1];
  }
}

struct Moments {
  double n = 0, sum = 0, sq = 0;
  void add(double v) {
    n += 1;
    sum += v;
    sq += v * v;
  }
  double mean() const { return sum / n; }
  double stddev() const { return std::sqrt(sq / n - mean() * mean()); }
};

// The generated set is the one every build of the generator makes (its digest
// is fixed in the build), and each kind of parameter is drawn from its own
// distribution, every blob from a stream of its own.
TEST(Generator, FixedSetDrawnFromEachKindsDistribution) {
  if (std::string(QEL_PARAMS_GENERATED) != "TRUE") GTEST_SKIP() << "the build embeds blobs from QEL_PARAMS_DIR";
  uint64_t digest = 0xcbf29ce484222325ULL;  // FNV-1a over the 32-bit words, in index order
  Moments shifts, biases, weights;
  float lowest[6], highest[6];
  std::fill(lowest, lowest + 6, INFINITY);
  std::fill(highest, highest + 6, -INFINITY);
  std::vector<float> first_values;
  for (int n = 0; n < 1024; ++n) {
    const rules::Param& p = rules::params()[static_cast<size_t>(n)];
    std::ifstream f(blob_path(QEL_PARAMS_BLOB_DIR, n), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_EQ(static_cast<int64_t>(bytes.size()), 4 * p.count()) << "P" << n;
    std::vector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.data(), bytes.size());
    for (size_t i = 0; i < v.size(); ++i) {
      uint32_t w;
      std::memcpy(&w, &v[i], 4);
      digest = (digest ^ w) * 0x100000001b3ULL;
      lowest[p.kind] = std::min(lowest[p.kind], v[i]);
      highest[p.kind] = std::max(highest[p.kind], v[i]);
    }
    const double sigma = p.kind == rules::kWeight ? std::sqrt(2.0 / static_cast<double>(p.count() / p.extents[3])) : 1;
    Moments own;
    for (float x : v) {
      if (p.kind == rules::kBeta || p.kind == rules::kMean) shifts.add(x);
      if (p.kind == rules::kBias) biases.add(x);
      if (p.kind == rules::kWeight) own.add(x / sigma), weights.add(x / sigma);
    }
    // Large weight tensors on their own: 5 % is over four standard errors at 4096 values.
    if (p.kind == rules::kWeight && p.count() >= 4096) {
      EXPECT_NEAR(own.stddev(), 1.0, 0.05) << "P" << n;
      EXPECT_NEAR(own.mean(), 0.0, 0.08) << "P" << n;
    }
    first_values.push_back(v[0]);
  }
  EXPECT_EQ(digest, QEL_EXPECTED_DIGEST);
  EXPECT_TRUE(lowest[rules::kGamma] >= 0.9f && highest[rules::kGamma] <= 1.1f);
  EXPECT_GT(highest[rules::kGamma] - lowest[rules::kGamma], 0.19f);
  EXPECT_TRUE(lowest[rules::kVariance] >= 0.75f && highest[rules::kVariance] <= 1.25f);
  EXPECT_GT(highest[rules::kVariance] - lowest[rules::kVariance], 0.49f);
  EXPECT_NEAR(weights.mean(), 0.0, 0.01);
  EXPECT_NEAR(weights.stddev(), 1.0, 0.01);
  EXPECT_NEAR(shifts.mean(), 0.0, 0.01);
  EXPECT_NEAR(shifts.stddev(), 0.1, 0.004);
  EXPECT_NEAR(biases.stddev(), 0.01, 0.0007);
  // Equally shaped blobs differ.
  EXPECT_NE(first_values[1], first_values[5]);
  EXPECT_NE(first_values[24], first_values[34]);
}

// A folder with a missing and a wrongly sized blob is refused, naming both.
TEST(Embedder, RefusesMissingAndWronglySizedBlobs) {
  const fs::path dir = fs::temp_directory_path() / ("qel_model_embed_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (int n = 0; n < 1024; ++n) {
    if (n == 1006)
      std::ofstream(blob_path(dir.string(), n), std::ios::binary) << std::string(12, '\0');
    else if (n != 17)
      fs::create_symlink(blob_path(QEL_PARAMS_BLOB_DIR, n), blob_path(dir.string(), n));
  }
  const std::string asm_file = (dir / "out.s").string();
  std::string out;
  EXPECT_EQ(run(std::string(QEL_EMBED_PARAMS) + " " + dir.string() + " " + asm_file, &out), 1);
  EXPECT_NE(out.find("qel_pellavine_P17_D0_Output is missing"), std::string::npos) << out;
  EXPECT_NE(out.find("qel_pellavine_P1006_D0_Output holds 12 bytes; parameter 1006 needs 21012480"), std::string::npos)
      << out;
  EXPECT_FALSE(fs::exists(asm_file));
  fs::remove_all(dir);
}

}  // namespace
