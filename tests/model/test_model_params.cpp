// The embedded parameter blobs and the build's parameter tools: the blob
// symbols in the shared library, the generator's determinism and the
// distributions it draws from, and the embedder's refusal of bad blob folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "param_rules.h"

namespace fs = std::filesystem;

namespace {

std::string blob_path(const std::string& dir, int n) {
  return dir + "/qel_pellavine_P" + std::to_string(n) + "_D0_Output";
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::string bytes(f ? static_cast<size_t>(f.tellg()) : 0, '\0');
  f.seekg(0);
  f.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// The blob's values, decoded from little-endian bytes.
std::vector<float> read_blob(const std::string& dir, int n) {
  const std::string b = read_file(blob_path(dir, n));
  std::vector<float> v(b.size() / 4);
  for (size_t i = 0; i < v.size(); ++i) {
    const auto byte = [&](size_t k) { return uint32_t{static_cast<unsigned char>(b[4 * i + k])}; };
    const uint32_t u = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    std::memcpy(&v[i], &u, 4);
  }
  return v;
}

// Runs a command and returns its exit status and combined output.
int run(const std::string& cmd, std::string* out) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A scratch folder of this test process, removed at the end of the test.
struct ScratchDir {
  fs::path path;
  explicit ScratchDir(const char* tag)
      : path(fs::temp_directory_path() / ("qel_model_" + std::string(tag) + "_" + std::to_string(getpid()))) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~ScratchDir() { fs::remove_all(path); }
};

struct Symbol {
  uint64_t value = 0;
  char type = 0;
};

TEST(BlobSymbols, LocalContiguousInIndexOrderAndSized) {
  std::string listing;
  ASSERT_EQ(run("nm --defined-only " QEL_LIBRARY_PATH, &listing), 0) << listing;
  const std::regex line("([0-9a-f]+) (.) _binary_qel_pellavine_P([0-9]+)_D0_Output_(start|end|size)");
  std::map<std::pair<int, std::string>, Symbol> syms;
  size_t pos = 0;
  while (pos < listing.size()) {
    const size_t nl = listing.find('\n', pos);
    const std::string l = listing.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? listing.size() : nl + 1;
    std::smatch m;
    if (!std::regex_match(l, m, line)) continue;
    const auto key = std::make_pair(std::stoi(m[3]), m[4].str());
    ASSERT_EQ(syms.count(key), 0u) << l;
    syms[key] = Symbol{std::stoull(m[1], nullptr, 16), m[2].str()[0]};
  }
  ASSERT_EQ(syms.size(), 3u * 1024);

  const std::vector<rules::Param> want = rules::expected_params();
  uint64_t total = 0;
  for (int n = 0; n < 1024; ++n) {
    const Symbol start = syms[{n, "start"}], end = syms[{n, "end"}], size = syms[{n, "size"}];
    // Lower-case types are local symbols: data for the bounds, absolute for the size.
    EXPECT_EQ(start.type, 'd') << "P" << n;
    EXPECT_EQ(end.type, 'd') << "P" << n;
    EXPECT_EQ(size.type, 'a') << "P" << n;
    const uint64_t bytes = 4 * static_cast<uint64_t>(want[static_cast<size_t>(n)].count());
    EXPECT_EQ(end.value - start.value, bytes) << "P" << n;
    EXPECT_EQ(size.value, bytes) << "P" << n;
    if (n > 0) {
      EXPECT_EQ(start.value, (syms[{n - 1, "end"}].value)) << "P" << n << " follows P" << n - 1;
    }
    total += bytes;
  }
  EXPECT_EQ(syms[std::make_pair(0, std::string("start"))].value % 32, 0u);
  EXPECT_EQ(total, 119666260u);

  std::string exported;
  ASSERT_EQ(run("nm -D --defined-only " QEL_LIBRARY_PATH, &exported), 0);
  EXPECT_EQ(exported.find("_binary_qel_pellavine_"), std::string::npos);
  EXPECT_EQ(exported.find("qel_params_blob_starts"), std::string::npos);
}

bool generated_set() { return std::string(QEL_PARAMS_GENERATED) == "TRUE"; }

// FNV-1a over the blobs' 32-bit words, in index order.
uint64_t digest(const std::string& dir) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (int n = 0; n < 1024; ++n) {
    const std::string b = read_file(blob_path(dir, n));
    for (size_t i = 0; i + 4 <= b.size(); i += 4) {
      uint32_t w;
      std::memcpy(&w, &b[i], 4);
      h = (h ^ w) * 0x100000001b3ULL;
    }
  }
  return h;
}

// A fresh run of the generator reproduces the embedded set byte for byte, and
// the set is the one every build of this generator makes (plain or sanitised,
// on any machine): its digest is fixed here.
TEST(Generator, DeterministicAcrossRunsAndBuilds) {
  if (!generated_set()) GTEST_SKIP() << "the build embeds blobs from QEL_PARAMS_DIR";
  ScratchDir dir("gen");
  std::string out;
  ASSERT_EQ(run(std::string(QEL_GEN_PARAMS) + " " + dir.path.string(), &out), 0) << out;
  for (int n = 0; n < 1024; ++n) {
    const std::string x = read_file(blob_path(QEL_PARAMS_BLOB_DIR, n));
    const std::string y = read_file(blob_path(dir.path.string(), n));
    ASSERT_EQ(x.size(), y.size()) << "P" << n;
    ASSERT_TRUE(x == y) << "P" << n << " differs between two runs of the generator";
  }
  EXPECT_EQ(digest(QEL_PARAMS_BLOB_DIR), QEL_EXPECTED_DIGEST);
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

TEST(Generator, DrawsEachKindFromItsDistribution) {
  if (!generated_set()) GTEST_SKIP() << "the build embeds blobs from QEL_PARAMS_DIR";
  const std::vector<rules::Param> want = rules::expected_params();
  Moments shifts, biases, scaled_weights;
  for (int n = 0; n < 1024; ++n) {
    const rules::Param& p = want[static_cast<size_t>(n)];
    const std::vector<float> v = read_blob(QEL_PARAMS_BLOB_DIR, n);
    ASSERT_EQ(static_cast<int64_t>(v.size()), p.count()) << "P" << n;
    for (float x : v) ASSERT_TRUE(std::isfinite(x)) << "P" << n;
    switch (p.kind) {
      case rules::kGamma:
        for (float x : v) ASSERT_TRUE(x >= 0.9f && x <= 1.1f) << "P" << n << ": " << x;
        break;
      case rules::kVariance:
        for (float x : v) ASSERT_TRUE(x >= 0.75f && x <= 1.25f) << "P" << n << ": " << x;
        break;
      case rules::kBeta:
      case rules::kMean:
        for (float x : v) shifts.add(x);
        break;
      case rules::kBias:
        for (float x : v) biases.add(x);
        break;
      case rules::kWeight: {
        const double sigma = std::sqrt(2.0 / static_cast<double>(p.e[0] * p.e[1] * p.e[2]));
        Moments m;
        for (float x : v) {
          m.add(x);
          scaled_weights.add(x / sigma);
        }
        // Large tensors on their own: 5 % is over four standard errors at 4096 values.
        if (p.count() >= 4096) {
          EXPECT_NEAR(m.stddev() / sigma, 1.0, 0.05) << "P" << n;
          EXPECT_NEAR(m.mean() / sigma, 0.0, 0.08) << "P" << n;
        }
        break;
      }
    }
  }
  EXPECT_NEAR(scaled_weights.mean(), 0.0, 0.01);
  EXPECT_NEAR(scaled_weights.stddev(), 1.0, 0.01);
  EXPECT_NEAR(shifts.mean(), 0.0, 0.01);
  EXPECT_NEAR(shifts.stddev(), 0.1, 0.004);
  EXPECT_NEAR(biases.stddev(), 0.01, 0.0007);
  // Every blob draws from a stream of its own: equally shaped blobs differ.
  EXPECT_NE(read_blob(QEL_PARAMS_BLOB_DIR, 1), read_blob(QEL_PARAMS_BLOB_DIR, 5));
  EXPECT_NE(read_blob(QEL_PARAMS_BLOB_DIR, 24), read_blob(QEL_PARAMS_BLOB_DIR, 34));
}

// A folder with a missing and a wrongly sized blob is refused, naming both.
TEST(Embedder, RefusesMissingAndWronglySizedBlobs) {
  ScratchDir dir("embed");
  for (int n = 0; n < 1024; ++n) {
    if (n == 17) continue;
    if (n == 1006) {
      std::ofstream(blob_path(dir.path.string(), n), std::ios::binary) << std::string(12, '\0');
      continue;
    }
    fs::create_symlink(blob_path(QEL_PARAMS_BLOB_DIR, n), blob_path(dir.path.string(), n));
  }
  const std::string asm_file = (dir.path / "out.s").string();
  std::string out;
  EXPECT_EQ(run(std::string(QEL_EMBED_PARAMS) + " " + dir.path.string() + " " + asm_file, &out), 1);
  EXPECT_NE(out.find("qel_pellavine_P17_D0_Output is missing"), std::string::npos) << out;
  EXPECT_NE(out.find("qel_pellavine_P1006_D0_Output holds 12 bytes; parameter 1006 needs 21012480"), std::string::npos)
      << out;
  EXPECT_FALSE(fs::exists(asm_file));
}

}  // namespace
