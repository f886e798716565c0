#include "runtime/qel_records.h"

namespace {

struct BaseType {
  int32_t code;
  const char* name;
  int64_t size;
};

// The scalar types; pair codes are derived from them.
constexpr BaseType kBase[] = {
    {1, "s8", 1},  {2, "s16", 2}, {3, "s32", 4}, {4, "s64", 8},  {5, "u8", 1},   {6, "u16", 2},
    {7, "u32", 4}, {8, "u64", 8}, {11, "f32", 4}, {12, "f64", 8}, {13, "boolean", 1},
};

const BaseType* base(int32_t code) {
  for (const BaseType& b : kBase)
    if (b.code == code) return &b;
  return nullptr;
}

// A pair record: first member s8..s64, f32 or f64; second member s8..s64, or the
// first member itself for f32 and f64.
bool pair_members(int32_t code, const BaseType** first, const BaseType** second) {
  if (code < 0x100 || code > 0xFFFF) return false;
  const int32_t f = code & 0xFF, s = code >> 8;
  const bool first_ok = (f >= 1 && f <= 4) || f == 11 || f == 12;
  const bool second_ok = (s >= 1 && s <= 4) || ((f == 11 || f == 12) && s == f);
  if (!first_ok || !second_ok) return false;
  *first = base(f);
  *second = base(s);
  return true;
}

// The 26 pair names, built once; indexable by (second, first).
struct PairNames {
  char names[16][16][16] = {};
  PairNames() {
    for (int s = 1; s <= 12; ++s)
      for (int f = 1; f <= 12; ++f) {
        const BaseType *a, *b;
        if (!pair_members((s << 8) | f, &a, &b)) continue;
        char* out = names[s][f];
        int n = 0;
        for (const char* p = a->name; *p; ++p) out[n++] = *p;
        out[n++] = '_';
        for (const char* p = b->name; *p; ++p) out[n++] = *p;
        out[n] = '\0';
      }
  }
};

const PairNames& pair_names() {
  static const PairNames names;
  return names;
}

}  // namespace

const char* qel_dtype_str(int32_t code) {
  if (const BaseType* b = base(code)) return b->name;
  const BaseType *a, *b;
  if (!pair_members(code, &a, &b)) return nullptr;
  return pair_names().names[code >> 8][code & 0xFF];
}

int64_t qel_dtype_size(int32_t code) {
  if (const BaseType* b = base(code)) return b->size;
  const BaseType *a, *b;
  if (!pair_members(code, &a, &b)) return 0;
  // Record of two naturally aligned members: sum rounded up to the larger size.
  const int64_t align = a->size > b->size ? a->size : b->size;
  return (a->size + b->size + align - 1) / align * align;
}
