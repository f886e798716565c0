// Checks the 1024 parameter blobs of a folder against the parameter table and
// writes the assembler source that embeds them into the library:
//   embed_params BLOB_FOLDER OUTPUT.s
// Each blob gets a start, an end and an absolute size symbol, all hidden, so
// they stay local to the shared library. The blobs follow one another in index
// order in the initialised data without any padding; blob 0 starts on a 32-byte
// boundary. A table of the 1024 start addresses lets the model's initialisation
// reach every blob without naming 1024 symbols.
// A missing or wrongly sized blob stops the build with a message naming it. The
// output is rewritten only when its text changes, so re-checking unchanged blobs
// does not re-assemble them.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "param_blobs.h"
#include "qel_pellavine_params.h"

namespace {

// Quotes a path for the assembler's .incbin directive.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string symbol(int n, const char* what) {
  return "_binary_" + qel::params::blob_name(n) + "_" + what;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BLOB_FOLDER OUTPUT.s\n", argv[0]);
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path dir = fs::absolute(argv[1]);
  const fs::path out_path(argv[2]);

  std::ostringstream s;
  s << "# Generated from the parameter folder " << dir.string() << "; do not edit.\n";
  s << "\t.data\n\t.balign 32\n";
  int errors = 0;
  for (int n = 0; n < qel::params::kCount; ++n) {
    const fs::path blob = dir / qel::params::blob_name(n);
    const int64_t expected = 4 * qel::params::kShapes[static_cast<std::size_t>(n)].count;
    std::error_code ec;
    const auto size = fs::file_size(blob, ec);
    if (ec) {
      std::fprintf(stderr, "error: parameter blob %s is missing (%s)\n", blob.c_str(), ec.message().c_str());
      ++errors;
      continue;
    }
    if (static_cast<int64_t>(size) != expected) {
      std::fprintf(stderr, "error: parameter blob %s holds %llu bytes; parameter %d needs %lld (%lld f32 values)\n",
                   blob.c_str(), static_cast<unsigned long long>(size), n, static_cast<long long>(expected),
                   static_cast<long long>(expected / 4));
      ++errors;
      continue;
    }
    const std::string start = symbol(n, "start"), end = symbol(n, "end"), bytes = symbol(n, "size");
    for (const std::string* sym : {&start, &end, &bytes}) s << "\t.globl " << *sym << "\n\t.hidden " << *sym << "\n";
    s << "\t.type " << start << ", @object\n\t.size " << start << ", " << expected << "\n";
    s << start << ":\n\t.incbin " << quoted(blob.string()) << "\n" << end << ":\n";
    s << "\t.set " << bytes << ", " << end << " - " << start << "\n";
  }
  if (errors != 0) {
    std::fprintf(stderr, "error: %d of the 1024 parameter blobs in %s are missing or wrongly sized\n", errors,
                 dir.c_str());
    return 1;
  }
  s << "\n\t.section .data.rel.ro, \"aw\"\n\t.balign 8\n";
  s << "\t.globl qel_params_blob_starts\n\t.hidden qel_params_blob_starts\n";
  s << "\t.type qel_params_blob_starts, @object\n\t.size qel_params_blob_starts, " << 8 * qel::params::kCount << "\n";
  s << "qel_params_blob_starts:\n";
  for (int n = 0; n < qel::params::kCount; ++n) s << "\t.quad " << symbol(n, "start") << "\n";
  s << "\n\t.section .note.GNU-stack, \"\", @progbits\n";

  const std::string text = s.str();
  {
    std::ifstream old(out_path, std::ios::binary);
    if (old) {
      std::ostringstream current;
      current << old.rdbuf();
      if (current.str() == text) return 0;
    }
  }
  std::ofstream f(out_path, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  if (!f) {
    std::fprintf(stderr, "error: cannot write %s\n", out_path.c_str());
    return 1;
  }
  return 0;
}
