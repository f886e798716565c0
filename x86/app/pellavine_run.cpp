// pellavine_run: the library's main job, as a host runs it. Loads
// libqel_pellavine.so at run time, binds one batch of 32 images of 32 x 32 x 3
// (from a .npy file, or a fixed synthetic batch), plans memory, predicts, writes
// the 32 x 16 x 16 x 1 output as .npy and prints a summary and the time per
// batch.
//
//   pellavine_run [--library PATH] [--input BATCH.npy] [--output OUT.npy] [--runs N]
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int64_t kInputShape[4] = {32, 32, 32, 3};
constexpr int64_t kOutputShape[4] = {32, 16, 16, 1};
constexpr size_t kInputCount = 32 * 32 * 32 * 3;
constexpr size_t kOutputCount = 32 * 16 * 16 * 1;

struct Options {
  std::string library;
  std::string input;
  std::string output;  // default: pellavine_output.npy next to this program
  int runs = 10;
};

void print_usage(std::FILE* to, const char* argv0) {
  std::fprintf(to,
               "usage: %s [--library PATH] [--input BATCH.npy] [--output OUT.npy] [--runs N]\n"
               "  --library  the library to load (default: libqel_pellavine.so next to this program)\n"
               "  --input    a float32 .npy of shape (32, 32, 32, 3); default: a fixed synthetic batch\n"
               "  --output   where to write the (32, 16, 16, 1) float32 output\n"
               "             (default: pellavine_output.npy next to this program)\n"
               "  --runs     timed predictions after planning (default: 10)\n",
               argv0);
}

[[noreturn]] void usage(const char* argv0, const std::string& problem) {
  std::fprintf(stderr, "%s: %s\n", argv0, problem.c_str());
  print_usage(stderr, argv0);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_usage(stdout, argv[0]);
      std::exit(0);
    }
    if (i + 1 >= argc) usage(argv[0], "missing value after " + arg);
    const std::string value = argv[++i];
    if (arg == "--library" || arg == "--input" || arg == "--output") {
      if (value.empty()) usage(argv[0], arg + " needs a file name");
      (arg == "--library" ? o.library : arg == "--input" ? o.input : o.output) = value;
    } else if (arg == "--runs") {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || n < 1 || n > 100000) usage(argv[0], "--runs takes 1 to 100000");
      o.runs = static_cast<int>(n);
    } else {
      usage(argv[0], "unknown option " + arg);
    }
  }
  return o;
}

// The folder of this program, for the default library path.
std::string program_folder() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  std::string path(buf.data(), static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// ---------------------------------------------------------------------------
// .npy files: little-endian float32, C order.

std::string shape_text(const int64_t (&shape)[4]) {
  std::ostringstream os;
  os << "(" << shape[0] << ", " << shape[1] << ", " << shape[2] << ", " << shape[3] << ")";
  return os.str();
}

// The header of a .npy file: a Python dictionary literal with exactly the keys
// 'descr' (a string), 'fortran_order' (True or False) and 'shape' (a tuple of
// integers), in any order, followed by spaces and a newline.
struct NpyHeader {
  std::string descr;
  bool fortran_order = false;
  std::vector<int64_t> shape;
};

class HeaderParser {
 public:
  explicit HeaderParser(const std::string& text) : s_(text) {}

  NpyHeader parse() {
    NpyHeader h;
    bool descr = false, order = false, shape = false;
    expect('{');
    while (!accept('}')) {
      const std::string key = string();
      expect(':');
      if (key == "descr" && !descr) {
        h.descr = string();
        descr = true;
      } else if (key == "fortran_order" && !order) {
        h.fortran_order = boolean();
        order = true;
      } else if (key == "shape" && !shape) {
        h.shape = tuple();
        shape = true;
      } else {
        fail("unexpected or repeated key '" + key + "'");
      }
      if (!accept(',')) {
        expect('}');
        break;
      }
    }
    skip();
    if (pos_ < s_.size() && s_[pos_] == '\n') ++pos_;
    if (pos_ != s_.size()) fail("text after the dictionary");
    if (!descr || !order || !shape) fail("'descr', 'fortran_order' and 'shape' are required");
    return h;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("malformed .npy header (" + what + ")");
  }
  void skip() {
    while (pos_ < s_.size() && s_[pos_] == ' ') ++pos_;
  }
  bool accept(char c) {
    skip();
    if (pos_ >= s_.size() || s_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  void expect(char c) {
    if (!accept(c)) fail(std::string("expected '") + c + "' at byte " + std::to_string(pos_));
  }
  std::string string() {
    skip();
    const char quote = pos_ < s_.size() ? s_[pos_] : '\0';
    if (quote != '\'' && quote != '"') fail("expected a string at byte " + std::to_string(pos_));
    const size_t end = s_.find(quote, pos_ + 1);
    if (end == std::string::npos) fail("unterminated string");
    std::string v = s_.substr(pos_ + 1, end - pos_ - 1);
    if (v.find('\\') != std::string::npos) fail("escapes in strings are not supported");
    pos_ = end + 1;
    return v;
  }
  bool boolean() {
    skip();
    for (const bool b : {true, false}) {
      const std::string word = b ? "True" : "False";
      if (s_.compare(pos_, word.size(), word) == 0) {
        pos_ += word.size();
        return b;
      }
    }
    fail("'fortran_order' is neither True nor False");
  }
  // Integers separated by commas, one allowed after the last: "(32, 3)", "(5,)".
  std::vector<int64_t> tuple() {
    expect('(');
    std::vector<int64_t> v;
    if (accept(')')) return v;
    for (;;) {
      v.push_back(extent());
      if (accept(')')) return v;
      if (!accept(',')) fail("expected ',' or ')' after an extent of the shape");
      if (accept(')')) return v;
    }
  }
  int64_t extent() {
    skip();
    const size_t start = pos_;
    int64_t v = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      const int d = s_[pos_++] - '0';
      if (v > (std::numeric_limits<int64_t>::max() - d) / 10) {
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        fail("the extent " + s_.substr(start, pos_ - start) + " of the shape is too large");
      }
      v = v * 10 + d;
    }
    if (pos_ == start) fail("expected an extent of the shape at byte " + std::to_string(pos_));
    if (pos_ < s_.size() && s_[pos_] == 'L') ++pos_;  // written by Python 2
    return v;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

std::vector<float> read_npy_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot open: ") + std::strerror(errno));
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) throw std::runtime_error("not a .npy file");
  const int major = static_cast<unsigned char>(magic[6]);
  uint32_t header_len = 0;
  if (major == 1) {
    unsigned char b[2];
    if (!in.read(reinterpret_cast<char*>(b), 2)) throw std::runtime_error("truncated");
    header_len = b[0] | (b[1] << 8u);
  } else if (major == 2 || major == 3) {
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char*>(b), 4)) throw std::runtime_error("truncated");
    header_len = b[0] | (b[1] << 8u) | (b[2] << 16u) | (static_cast<uint32_t>(b[3]) << 24u);
    if (header_len > (1u << 20)) throw std::runtime_error("oversized header");
  } else {
    throw std::runtime_error("unsupported .npy version " + std::to_string(major));
  }
  std::string text(header_len, '\0');
  if (!in.read(&text[0], header_len)) throw std::runtime_error("truncated");

  const NpyHeader header = HeaderParser(text).parse();
  if (header.descr != "<f4" && header.descr != "f4")
    throw std::runtime_error("expected float32 data ('<f4'), found '" + header.descr + "'");
  if (header.fortran_order) throw std::runtime_error("Fortran-ordered arrays are not supported");
  if (header.shape != std::vector<int64_t>(kInputShape, kInputShape + 4))
    throw std::runtime_error("expected shape " + shape_text(kInputShape));

  std::vector<float> data(kInputCount);
  if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(kInputCount * sizeof(float))))
    throw std::runtime_error("holds fewer values than its shape");
  return data;
}

// Every failure names the file.
std::vector<float> read_npy(const std::string& path) {
  try {
    return read_npy_of(path);
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

void write_npy(const std::string& path, const std::vector<float>& data) {
  std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': " + shape_text(kOutputShape) + ", }";
  // Magic, version and length take 10 bytes; the header ends with a newline and
  // pads the whole preamble to a multiple of 64 bytes.
  const size_t total = (10 + header.size() + 1 + 63) / 64 * 64;
  header.append(total - 10 - header.size() - 1, ' ');
  header += '\n';
  std::ofstream out(path, std::ios::binary);
  if (!out) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  const uint16_t len = static_cast<uint16_t>(header.size());
  const char preamble[10] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0, static_cast<char>(len & 0xFF),
                             static_cast<char>(len >> 8)};
  out.write(preamble, 10);
  out.write(header.data(), static_cast<std::streamsize>(header.size()));
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(float)));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// The output file, checked before any work: it can be created (or appended
// to, so an earlier result survives a failed run). A file that this check
// created is removed again unless the result was written.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : path_(path), existed_(access(path.c_str(), F_OK) == 0) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    std::fclose(f);
  }
  ~OutputFile() {
    if (!written_ && !existed_) std::remove(path_.c_str());
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& path() const { return path_; }
  void write(const std::vector<float>& data) {
    write_npy(path_, data);
    written_ = true;
  }

 private:
  std::string path_;
  bool existed_;
  bool written_ = false;
};

// A fixed batch: values in [-1, 1) from an integer hash of the element index,
// the same on every machine.
std::vector<float> synthetic_batch() {
  std::vector<float> data(kInputCount);
  for (size_t i = 0; i < data.size(); ++i) {
    uint32_t h = static_cast<uint32_t>(i) * 2654435761u + 0x9E3779B9u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    data[i] = static_cast<float>(h >> 8) / 8388608.0f - 1.0f;
  }
  return data;
}

// ---------------------------------------------------------------------------
// The library, loaded like any host loads it.

struct Library {
  void* handle = nullptr;
  void (*set_io)(void*, void*) = nullptr;
  void (*optimize)(int32_t) = nullptr;
  void (*predict)(void*, void*) = nullptr;
  void (*release)() = nullptr;

  template <typename Fn>
  void bind(Fn& fn, const char* name) {
    void* sym = dlsym(handle, name);
    if (sym == nullptr) throw std::runtime_error(std::string("the library has no entry point ") + name);
    fn = reinterpret_cast<Fn>(sym);
  }

  explicit Library(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(std::string("cannot load the library: ") + dlerror());
    bind(set_io, "qel_pellavine_set_IO");
    bind(optimize, "qel_pellavine_optimize");
    bind(predict, "qel_predict");
    bind(release, "qel_pellavine_free");
  }
};

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int run(const Options& o) {
  OutputFile output_file(o.output.empty() ? program_folder() + "/pellavine_output.npy" : o.output);
  const std::string library = o.library.empty() ? program_folder() + "/libqel_pellavine.so" : o.library;
  Library lib(library);

  std::vector<float> input = o.input.empty() ? synthetic_batch() : read_npy(o.input);
  std::vector<float> output(kOutputCount, std::numeric_limits<float>::quiet_NaN());
  std::printf("library: %s\n", library.c_str());
  std::printf("input:   %s %s\n", o.input.empty() ? "synthetic batch" : o.input.c_str(),
              shape_text(kInputShape).c_str());

  // The planning run is itself a full run on the bound buffers.
  lib.set_io(input.data(), output.data());
  auto start = std::chrono::steady_clock::now();
  lib.optimize(1);
  const double planning_ms = milliseconds_since(start);
  const std::vector<float> planned = output;

  std::vector<double> times;
  for (int r = 0; r < o.runs; ++r) {
    start = std::chrono::steady_clock::now();
    lib.predict(input.data(), output.data());
    times.push_back(milliseconds_since(start));
  }
  const bool stable = std::memcmp(planned.data(), output.data(), output.size() * sizeof(float)) == 0;
  output_file.write(output);
  lib.release();

  double lo = output[0], hi = output[0], sum = 0.0;
  size_t non_finite = 0;
  uint64_t fnv = 1469598103934665603ull;  // FNV-1a over the output's bytes
  for (float v : output) {
    if (!(v == v) || v == std::numeric_limits<float>::infinity() || v == -std::numeric_limits<float>::infinity())
      ++non_finite;
    lo = std::min(lo, static_cast<double>(v));
    hi = std::max(hi, static_cast<double>(v));
    sum += v;
    unsigned char bytes[4];
    std::memcpy(bytes, &v, 4);
    for (unsigned char b : bytes) fnv = (fnv ^ b) * 1099511628211ull;
  }
  std::sort(times.begin(), times.end());
  std::printf("output:  %s %s\n", output_file.path().c_str(), shape_text(kOutputShape).c_str());
  std::printf("summary: min %.6g  max %.6g  mean %.6g  sum %.9g  non-finite %zu\n", lo, hi,
              sum / static_cast<double>(output.size()), sum, non_finite);
  std::printf("checksum (FNV-1a of the output bytes): %016" PRIx64 "\n", fnv);
  std::printf("time per batch: %.3f ms median, %.3f ms best over %d runs (planning run %.3f ms)\n",
              times[times.size() / 2], times.front(), o.runs, planning_ms);
  if (!stable) {
    std::fprintf(stderr, "the predictions after planning differ from the planning run's output\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  try {
    return run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 2;
  }
}
