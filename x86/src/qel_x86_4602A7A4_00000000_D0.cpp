// The network function: one forward pass of pellavine as a fixed sequence of
// 736 operator calls over 638 intermediate tensors.
//
// The sequence is data. The stage tables below (the stem, four dense blocks,
// three transitions, the reduction, four decoder stages and the head) are
// expanded at compile time into one flat schedule of steps; the network function
// walks that schedule. Every step does, in this order:
//   1. the releases that follow the previous call, in that call's argument order;
//   2. the checks of the input and parameters that this call is the first to read
//      (ascending; each preceded by its materialise step);
//   3. the fill and allocation of the intermediates that this call writes first,
//      in argument order (at the last step: the output step instead);
//   4. the call, with the context first and the tensors in the operator's order.
// Intermediates are numbered in allocation order; all 638 descriptors live side
// by side in one array of the function's frame.
#include <cstdint>
#include <initializer_list>

#include "network_function.h"
#include "network_operators.h"
#include "runtime/qel_check.h"
#include "runtime/qel_records.h"

namespace {

constexpr int kSteps = 736;
constexpr int kIntermediates = 638;
constexpr int kParams = 1024;
constexpr int kBatch = 32;

// A failed check reports this file name and the line on which the check would
// stand if the schedule were written out step by step: the first check on line
// 850, then 3 lines per check, 2 per allocation, 1 per call and 1 per release.
constexpr const char kNetworkFile[] = "x86/src/qel_x86_4602A7A4_00000000_D0";
constexpr int kFirstCheckLine = 850;
constexpr int kLinesPerCheck = 3;
constexpr int kLinesPerAllocation = 2;
constexpr int kLinesPerCall = 1;
constexpr int kLinesPerRelease = 1;

constexpr const char kInputName[] = "I0_D0_Output";
constexpr int kInputExtents[4] = {kBatch, 32, 32, 3};
constexpr int64_t kOutputExtents[4] = {kBatch, 16, 16, 1};
constexpr int64_t kOutputCount = kBatch * 16 * 16 * 1;

// ---------------------------------------------------------------------------
// Operators, looked up by id when the schedule is built.

struct Op {
  uint16_t id = 0;
  int8_t tensors = 0;  // tensor arguments after the context
  // A convolution or reorder layer (read-only context) or a kernel wrapper.
  qel_net_layer1_fn layer1 = nullptr;
  qel_net_layer2_fn layer2 = nullptr;
  qel_net_layer3_fn layer3 = nullptr;
  qel_net_kernel1_fn kernel1 = nullptr;
  qel_net_kernel2_fn kernel2 = nullptr;
  qel_net_kernel3_fn kernel3 = nullptr;
  qel_net_kernel4_fn kernel4 = nullptr;

  static constexpr Op of(uint16_t id, int tensors) {
    Op o;
    o.id = id;
    o.tensors = static_cast<int8_t>(tensors);
    return o;
  }
  static constexpr Op of(uint16_t id, qel_net_layer1_fn f) { Op o = of(id, 1); o.layer1 = f; return o; }
  static constexpr Op of(uint16_t id, qel_net_layer2_fn f) { Op o = of(id, 2); o.layer2 = f; return o; }
  static constexpr Op of(uint16_t id, qel_net_layer3_fn f) { Op o = of(id, 3); o.layer3 = f; return o; }
  static constexpr Op of(uint16_t id, qel_net_kernel1_fn f) { Op o = of(id, 1); o.kernel1 = f; return o; }
  static constexpr Op of(uint16_t id, qel_net_kernel2_fn f) { Op o = of(id, 2); o.kernel2 = f; return o; }
  static constexpr Op of(uint16_t id, qel_net_kernel3_fn f) { Op o = of(id, 3); o.kernel3 = f; return o; }
  static constexpr Op of(uint16_t id, qel_net_kernel4_fn f) { Op o = of(id, 4); o.kernel4 = f; return o; }
};

#define QEL_NET_OPERATOR_ENTRY(family, tensors, id) Op::of(0x##id, &QEL_NET_OPERATOR_NAME(family, id)),
constexpr Op kOperators[] = {QEL_NET_OPERATORS(QEL_NET_OPERATOR_ENTRY)};
#undef QEL_NET_OPERATOR_ENTRY
constexpr int kOperatorCount = static_cast<int>(sizeof kOperators / sizeof kOperators[0]);
static_assert(kOperatorCount == kSteps, "every operator is called exactly once per run");

// ---------------------------------------------------------------------------
// The schedule.

struct Shape {  // of an intermediate
  int32_t rank = 0;
  int64_t extents[8] = {};  // those beyond the rank 0
  int64_t count = 0;
};

struct ParamShape {  // expected by a parameter's check: rank 4 or rank 1
  int32_t rank = 0;
  int32_t extents[4] = {};
};

struct Step {
  Op op;
  int16_t args[4] = {-1, -1, -1, -1};    // intermediates, in the operator's order
  bool checks_input = false;
  bool output_step = false;              // the head: prepare the output, allocate nothing
  int16_t first_param = 0;               // parameters first_param .. + params - 1 are checked
  int16_t params = 0;
  int16_t first_allocation = 0;          // intermediates first_allocation .. + allocations - 1
  int16_t allocations = 0;
  int16_t releases[2] = {-1, -1};        // released right after the call, in this order
  int16_t release_count = 0;
};

struct Schedule {
  Step steps[kSteps];
  Shape intermediates[kIntermediates];
  ParamShape params[kParams];
  int32_t input_line = 0;
  int32_t param_lines[kParams] = {};
  int step_count = 0;
  int intermediate_count = 0;
  int param_count = 0;
};

// Collects the steps of the stage tables in program order. Parameters checked and
// intermediates created since the previous call belong to the next call.
class Builder {
 public:
  constexpr void check_input() { pending_input_ = true; }
  constexpr void weights(int kh, int kw, int cin, int cout) { param(4, kh, kw, cin, cout); }
  constexpr void vector(int n) { param(1, n, 0, 0, 0); }
  // gamma, beta, mean and variance of one batch normalisation
  constexpr void quadruple(int n) {
    for (int i = 0; i < 4; ++i) vector(n);
  }

  // Activations, channels last.
  constexpr int activation(int h, int w, int c) { return intermediate(4, {kBatch, h, w, c}); }
  // The output of a batch-normalisation kernel: rank 2 [N, C] at a 1 x 1 size.
  constexpr int normalised(int h, int w, int c) {
    return h == 1 && w == 1 ? intermediate(2, {kBatch, c}) : activation(h, w, c);
  }
  // Convolution weights reordered into blocks of b output channels.
  constexpr int reordered(int kh, int kw, int cin, int cout, int b) {
    return intermediate(5, {(cout + b - 1) / b, kh, kw, cin, b});
  }

  // The next call is the head: the output step takes the place of its allocations.
  constexpr void output_step() { pending_output_ = true; }

  constexpr void call(int id, std::initializer_list<int> args, std::initializer_list<int> releases = {}) {
    if (s_.step_count == kSteps) throw "more steps than the network has";
    Step& st = s_.steps[s_.step_count++];
    st.op = find(id);
    if (static_cast<int>(args.size()) != st.op.tensors) throw "wrong number of tensors for this operator";
    int i = 0;
    int last_new = -1;
    for (int a : args) {
      if (a < 0 || a >= s_.intermediate_count) throw "argument is not an intermediate";
      if (a >= first_new_) {  // allocated by this step: in argument order
        if (a <= last_new) throw "allocations out of argument order";
        last_new = a;
      }
      st.args[i++] = static_cast<int16_t>(a);
    }
    if (s_.intermediate_count > first_new_ && last_new != s_.intermediate_count - 1)
      throw "an intermediate is allocated by a call that does not take it";
    if (pending_output_ && s_.intermediate_count != first_new_) throw "the head allocates nothing";
    st.checks_input = pending_input_;
    st.output_step = pending_output_;
    st.first_param = static_cast<int16_t>(first_pending_param_);
    st.params = static_cast<int16_t>(s_.param_count - first_pending_param_);
    st.first_allocation = static_cast<int16_t>(first_new_);
    st.allocations = static_cast<int16_t>(s_.intermediate_count - first_new_);
    if (releases.size() > 2) throw "a call releases at most two tensors";
    for (int r : releases) {
      if (r < 0 || r >= s_.intermediate_count) throw "release of an unknown intermediate";
      st.releases[st.release_count++] = static_cast<int16_t>(r);
    }
    pending_input_ = pending_output_ = false;
    first_pending_param_ = s_.param_count;
    first_new_ = s_.intermediate_count;
  }

  // Completes the schedule with the report line of every check.
  constexpr Schedule finish() {
    if (s_.step_count != kSteps || pending_input_ || first_pending_param_ != s_.param_count ||
        first_new_ != s_.intermediate_count)
      throw "incomplete schedule";
    int line = kFirstCheckLine;
    for (int i = 0; i < s_.step_count; ++i) {
      const Step& st = s_.steps[i];
      if (st.checks_input) {
        s_.input_line = line;
        line += kLinesPerCheck;
      }
      for (int k = st.first_param; k < st.first_param + st.params; ++k) {
        s_.param_lines[k] = line;
        line += kLinesPerCheck;
      }
      line += kLinesPerAllocation * st.allocations + kLinesPerCall + kLinesPerRelease * st.release_count;
    }
    return s_;
  }

 private:
  constexpr void param(int rank, int e0, int e1, int e2, int e3) {
    if (s_.param_count == kParams) throw "more parameters than the network has";
    ParamShape& p = s_.params[s_.param_count++];
    p.rank = rank;
    p.extents[0] = e0;
    p.extents[1] = e1;
    p.extents[2] = e2;
    p.extents[3] = e3;
  }

  constexpr int intermediate(int rank, std::initializer_list<int> extents) {
    if (s_.intermediate_count == kIntermediates) throw "more intermediates than the network has";
    Shape& t = s_.intermediates[s_.intermediate_count];
    t.rank = rank;
    t.count = 1;
    int i = 0;
    for (int e : extents) {
      t.extents[i++] = e;
      t.count *= e;
    }
    return s_.intermediate_count++;
  }

  static constexpr Op find(int id) {
    for (const Op& op : kOperators)
      if (op.id == id) return op;
    throw "no operator has this id";
  }

  Schedule s_{};
  bool pending_input_ = false;
  bool pending_output_ = false;
  int first_pending_param_ = 0;
  int first_new_ = 0;
};

// ---------------------------------------------------------------------------
// Stage tables.

// Dense blocks. X1 is the id of layer 1's input normalisation, R0 that of the
// first 1x1 reorder; every other id of the block follows from these two.
struct DenseBlock {
  int size;              // H = W
  int input_channels;    // C0
  int layers;            // L; the buffer holds C0 + 32 L channels
  int x1;
  int r0;
  int block_1x1;         // b of the reordered 1x1 weights (3x3 weights: 32)
  bool releases_input;   // false where the block input is a skip tensor of the decoder
};
constexpr DenseBlock kDenseBlocks[4] = {
    {8, 64, 6, 0x853A, 0x8542, 64, false},
    {4, 128, 12, 0x84F6, 0x84FE, 32, false},
    {2, 256, 48, 0x8407, 0x840F, 32, false},
    {1, 896, 32, 0x82E3, 0x8470, 32, true},
};
constexpr int kGrowth = 32;       // channels each dense layer appends
constexpr int kBottleneck = 128;  // channels of the bottleneck convolution

// Transitions: normalise the block buffer (C channels at H x H), 1x1 convolution
// to C / 2, average pooling 2 x 2 fused with the next block's first normalisation.
struct Transition {
  int normalisation;
  int reorder;
  int conv;
  int pool;
  int channels;  // C
  int size;      // H
  int block;     // b of the reordered weights
};
constexpr Transition kTransitions[3] = {
    {0x851C, 0x854E, 0x851B, 0x851A, 256, 8, 64},
    {0x84B4, 0x8516, 0x84B3, 0x84B2, 512, 4, 32},
    {0x82ED, 0x846F, 0x82EC, 0x82EB, 1792, 2, 48},
};

// The four tensors of the encoder that the decoder joins in again.
enum Skip { kStemActivation, kStemPool, kTransition1Pool, kTransition2Pool, kSkipCount };

// Decoder stages: upsample the stage input (U channels at `size`) 2 x into
// channels 0 .. U-1 of a buffer of W channels, copy the skip tensor into the
// rest, then two 3 x 3 convolutions with bias to C channels, LeakyReLU between.
struct DecoderStage {
  int size;      // input H = W
  int upsample;
  int skip_copy;
  Skip skip;
  int width;     // W
  int reorder1, block1, conv1;
  int leaky;
  int reorder2, block2, conv2;
  int channels;  // C
};
constexpr DecoderStage kDecoderStages[4] = {
    {1, 0x8227, 0x84B1, kTransition2Pool, 1216, 0x8517, 32, 0x8225, 0x8224, 0x8518, 32, 0x8223, 480},
    {2, 0x8222, 0x8519, kTransition1Pool, 608, 0x854F, 16, 0x8220, 0x821F, 0x8550, 32, 0x821E, 240},
    {4, 0x821D, 0x8551, kStemPool, 304, 0x8553, 32, 0x821B, 0x821A, 0x8554, 64, 0x8219, 120},
    {8, 0x8218, 0x8555, kStemActivation, 184, 0x855A, 64, 0x8216, 0x8215, 0x855B, 64, 0x8214, 60},
};

// ---------------------------------------------------------------------------
// Stage templates.

struct BlockInput {
  int raw;         // copied into the buffer's first channels
  int normalised;  // source of layer 0's bottleneck convolution
};

constexpr int dense_block(Builder& b, const DenseBlock& k, BlockInput in) {
  const int h = k.size;
  const int buffer = b.activation(h, h, k.input_channels + kGrowth * k.layers);
  if (k.releases_input)
    b.call(k.x1 + 2, {in.raw, buffer}, {in.raw});
  else
    b.call(k.x1 + 2, {in.raw, buffer});
  for (int j = 0; j < k.layers; ++j) {
    const int cin = k.input_channels + kGrowth * j;
    // x is the id of layer j's input normalisation; the layer's other kernels
    // and convolutions count down from it. Layer 0 has no input normalisation
    // of its own (the kernel before the block applies it), but its ids follow
    // the same pattern from x = X1 + 7.
    const int x = j == 0 ? k.x1 + 7 : k.x1 - 6 * (j - 1);
    int source = in.normalised;
    if (j > 0) {
      b.quadruple(cin);
      source = b.normalised(h, h, cin);
      b.call(x, {source, buffer});
    }
    b.weights(1, 1, cin, kBottleneck);
    const int w1 = b.reordered(1, 1, cin, kBottleneck, k.block_1x1);
    b.call(k.r0 + 2 * j, {w1});
    const int bottleneck = b.activation(h, h, kBottleneck);
    b.call(x - 1, {bottleneck, source, w1}, {source, w1});
    b.quadruple(kBottleneck);
    const int normalised = b.normalised(h, h, kBottleneck);
    b.call(x - 2, {bottleneck, normalised}, {bottleneck});
    b.weights(3, 3, kBottleneck, kGrowth);
    const int w3 = b.reordered(3, 3, kBottleneck, kGrowth, kGrowth);
    b.call(k.r0 + 2 * j + 1, {w3});
    const int growth = b.activation(h, h, kGrowth);
    b.call(x - 3, {growth, normalised, w3}, {normalised, w3});
    b.call(x - 4, {growth, buffer}, {growth});
  }
  return buffer;
}

constexpr BlockInput transition(Builder& b, const Transition& t, int buffer) {
  const int h = t.size, c = t.channels;
  b.quadruple(c);
  const int normalised = b.normalised(h, h, c);
  b.call(t.normalisation, {buffer, normalised}, {buffer});
  b.weights(1, 1, c, c / 2);
  const int w = b.reordered(1, 1, c, c / 2, t.block);
  b.call(t.reorder, {w});
  const int conv = b.activation(h, h, c / 2);
  b.call(t.conv, {conv, normalised, w}, {normalised, w});
  b.quadruple(c / 2);
  const int pool = b.normalised(h / 2, h / 2, c / 2);
  const int next = b.normalised(h / 2, h / 2, c / 2);
  b.call(t.pool, {conv, pool, next}, {conv});
  return {pool, next};
}

// Returns the stage output.
constexpr int decoder_stage(Builder& b, const DecoderStage& d, int input, const int (&skips)[kSkipCount]) {
  const int h = 2 * d.size, c = d.channels;
  const int buffer = b.activation(h, h, d.width);
  b.call(d.upsample, {input, buffer}, {input});
  b.call(d.skip_copy, {skips[d.skip], buffer}, {skips[d.skip]});
  b.weights(3, 3, d.width, c);
  const int w1 = b.reordered(3, 3, d.width, c, d.block1);
  b.call(d.reorder1, {w1});
  b.vector(c);
  const int conv1 = b.activation(h, h, c);
  b.call(d.conv1, {conv1, buffer, w1}, {buffer, w1});
  const int activated = b.activation(h, h, c);
  b.call(d.leaky, {conv1, activated}, {conv1});
  b.weights(3, 3, c, c);
  const int w2 = b.reordered(3, 3, c, c, d.block2);
  b.call(d.reorder2, {w2});
  b.vector(c);
  const int out = b.activation(h, h, c);
  b.call(d.conv2, {activated, out, w2}, {activated, w2});
  return out;
}

constexpr Schedule build_schedule() {
  Builder b;
  int skips[kSkipCount] = {};

  // Stem: pad the input by 3, 7 x 7 stride-2 convolution, then one kernel for
  // normalisation, 3 x 3 stride-2 max pooling and block 1's first normalisation.
  b.check_input();
  const int padded = b.activation(38, 38, 3);
  b.call(0x8558, {padded});
  b.weights(7, 7, 3, 64);
  const int stem_weights = b.reordered(7, 7, 3, 64, 64);
  b.call(0x8559, {stem_weights});
  const int stem_conv = b.activation(16, 16, 64);
  b.call(0x8557, {stem_conv, stem_weights, padded}, {stem_weights, padded});
  b.quadruple(64);
  b.quadruple(64);
  skips[kStemPool] = b.activation(8, 8, 64);
  skips[kStemActivation] = b.activation(16, 16, 64);
  BlockInput in{skips[kStemPool], b.normalised(8, 8, 64)};
  b.call(0x8556, {stem_conv, skips[kStemPool], skips[kStemActivation], in.normalised}, {stem_conv});

  // Encoder: dense blocks joined by transitions.
  int buffer = dense_block(b, kDenseBlocks[0], in);
  in = transition(b, kTransitions[0], buffer);
  skips[kTransition1Pool] = in.raw;
  buffer = dense_block(b, kDenseBlocks[1], in);
  in = transition(b, kTransitions[1], buffer);
  skips[kTransition2Pool] = in.raw;
  buffer = dense_block(b, kDenseBlocks[2], in);
  in = transition(b, kTransitions[2], buffer);
  buffer = dense_block(b, kDenseBlocks[3], in);

  // Final normalisation and the 1x1 reduction with bias, 1920 to 960 channels.
  b.quadruple(1920);
  const int features = b.normalised(1, 1, 1920);
  b.call(0x8229, {buffer, features}, {buffer});
  b.weights(1, 1, 1920, 960);
  const int reduction_weights = b.reordered(1, 1, 1920, 960, 48);
  b.call(0x84B0, {reduction_weights});
  b.vector(960);
  int stage = b.activation(1, 1, 960);
  b.call(0x8228, {stage, features, reduction_weights}, {features, reduction_weights});

  // Decoder.
  for (const DecoderStage& d : kDecoderStages) stage = decoder_stage(b, d, stage, skips);

  // Head: LeakyReLU of the last stage, 3 x 3 convolution with bias to one channel,
  // written into the context's output.
  const int head_input = b.activation(16, 16, 60);
  b.call(0x8213, {stage, head_input}, {stage});
  b.weights(3, 3, 60, 1);
  const int head_weights = b.reordered(3, 3, 60, 1, 16);
  b.call(0x855C, {head_weights});
  b.vector(1);
  b.output_step();
  b.call(0x8212, {head_input, head_weights}, {head_input, head_weights});
  return b.finish();
}

constexpr Schedule kSchedule = build_schedule();

// ---------------------------------------------------------------------------
// Compile-time checks of the expanded schedule.

static_assert(kSchedule.intermediate_count == kIntermediates, "638 intermediates");
static_assert(kSchedule.param_count == kParams, "every parameter is checked once");

constexpr int count_rank(int rank) {
  int n = 0;
  for (const Shape& t : kSchedule.intermediates) n += t.rank == rank;
  return n;
}
static_assert(count_rank(4) == 362 && count_rank(5) == 210 && count_rank(2) == 66, "intermediate ranks");

// Every operator is called once; every intermediate is released exactly once, by
// the step that reads it last, and is read only while allocated.
constexpr bool operators_called_once() {
  for (const Op& op : kOperators) {
    int n = 0;
    for (const Step& st : kSchedule.steps) n += st.op.id == op.id;
    if (n != 1) return false;
  }
  return true;
}
static_assert(operators_called_once(), "each operator of the table is called exactly once");

constexpr bool releases_follow_last_reader() {
  int allocated_at[kIntermediates] = {}, released_at[kIntermediates] = {}, last_use[kIntermediates] = {};
  for (int t = 0; t < kIntermediates; ++t) allocated_at[t] = released_at[t] = last_use[t] = -1;
  for (int i = 0; i < kSteps; ++i) {
    const Step& st = kSchedule.steps[i];
    for (int a = st.first_allocation; a < st.first_allocation + st.allocations; ++a) allocated_at[a] = i;
    for (int k = 0; k < st.op.tensors; ++k) {
      const int t = st.args[k];
      if (allocated_at[t] < 0 || released_at[t] >= 0) return false;
      last_use[t] = i;
    }
    for (int r = 0; r < st.release_count; ++r) {
      const int t = st.releases[r];
      if (released_at[t] >= 0 || last_use[t] != i) return false;
      released_at[t] = i;
    }
  }
  for (int t = 0; t < kIntermediates; ++t)
    if (released_at[t] < 0) return false;
  return true;
}
static_assert(releases_follow_last_reader(), "each intermediate is released once, after its last reader");

static_assert(kSchedule.input_line == 850 && kSchedule.param_lines[0] == 856 &&
                  kSchedule.param_lines[9] == 902 && kSchedule.param_lines[184] == 1870 &&
                  kSchedule.param_lines[1000] == 6377 && kSchedule.param_lines[1023] == 6569,
              "report lines of the checks");

// ---------------------------------------------------------------------------
// Report names "P<N>_D0_Output".

struct ParamNames {
  char name[kParams][16] = {};
};

constexpr ParamNames make_param_names() {
  ParamNames n;
  for (int k = 0; k < kParams; ++k) {
    char* p = n.name[k];
    *p++ = 'P';
    char digits[4] = {};
    int count = 0;
    int v = k;
    do {
      digits[count++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (count > 0) *p++ = digits[--count];
    for (const char* s = "_D0_Output"; *s != '\0'; ++s) *p++ = *s;
  }
  return n;
}
constexpr ParamNames kParamNames = make_param_names();

// ---------------------------------------------------------------------------
// The walk.

// A tensor without data whose mirror handle can initialise it gets the chance
// before its check; a null data pointer is not itself an error.
void materialise(qel_tensor_struct* t) {
  if (t->data != nullptr) return;
  const qel_handle_struct* mirror = t->mirror_handle;
  if (mirror != nullptr && mirror->init != nullptr) mirror->init(mirror, t);
}

void check_input(const qel_ctx_struct* ctx) {
  qel_tensor_struct* t = &ctx->inputs[0];
  materialise(t);
  qel_tensor_check(kNetworkFile, kSchedule.input_line, t, kInputName, QEL_F32, kInputExtents[0],
                   kInputExtents[1], kInputExtents[2], kInputExtents[3]);
}

void check_param(const qel_ctx_struct* ctx, int k) {
  qel_tensor_struct* t = &ctx->params[k];
  materialise(t);
  const ParamShape& p = kSchedule.params[k];
  if (p.rank == 4)
    qel_tensor_check(kNetworkFile, kSchedule.param_lines[k], t, kParamNames.name[k], QEL_F32, p.extents[0],
                     p.extents[1], p.extents[2], p.extents[3]);
  else
    qel_tensor_check(kNetworkFile, kSchedule.param_lines[k], t, kParamNames.name[k], QEL_F32, p.extents[0]);
}

void fill(qel_tensor_struct* t, const Shape& shape, const qel_handle_struct* handle) {
  for (int i = 0; i < 8; ++i) t->extents[i] = shape.extents[i];
  t->count = shape.count;
  t->rank = shape.rank;
  t->dtype = QEL_F32;
  t->mirror_handle = nullptr;
  t->mirror_aux = 0;
  t->mirror_ptr = nullptr;
  t->data_handle = handle;
  t->data_aux = 0;
  t->data = nullptr;
}

void release(qel_tensor_struct* t) {
  const qel_handle_struct* handle = t->data_handle;
  if (handle != nullptr) handle->free(handle, t);
}

// The output is re-set to its shape and given memory through its own handle,
// which leaves a buffer bound by the host in place.
void prepare_output(const qel_ctx_struct* ctx) {
  qel_tensor_struct* out = &ctx->outputs[0];
  out->rank = 4;
  out->dtype = QEL_F32;
  out->count = kOutputCount;
  for (int i = 0; i < 4; ++i) out->extents[i] = kOutputExtents[i];
  out->data_handle->malloc(out->data_handle, out);
}

void call(const qel_ctx_struct* ctx, const Step& st, qel_tensor_struct* t) {
  const Op& op = st.op;
  const int16_t* a = st.args;
  // Kernel wrappers take the context as a plain pointer but only read it.
  qel_ctx_struct* kctx = const_cast<qel_ctx_struct*>(ctx);
  if (op.layer1) op.layer1(ctx, &t[a[0]]);
  else if (op.layer2) op.layer2(ctx, &t[a[0]], &t[a[1]]);
  else if (op.layer3) op.layer3(ctx, &t[a[0]], &t[a[1]], &t[a[2]]);
  else if (op.kernel1) op.kernel1(kctx, &t[a[0]]);
  else if (op.kernel2) op.kernel2(kctx, &t[a[0]], &t[a[1]]);
  else if (op.kernel3) op.kernel3(kctx, &t[a[0]], &t[a[1]], &t[a[2]]);
  else op.kernel4(kctx, &t[a[0]], &t[a[1]], &t[a[2]], &t[a[3]]);
}

}  // namespace

void qel_x86_4602A7A4_00000000_D0(const qel_ctx_struct* ctx) {
  qel_tensor_struct t[kIntermediates];
  int allocated = 0;                       // intermediates 0 .. allocated-1 have been allocated
  bool released[kIntermediates] = {};
  try {
    for (const Step& st : kSchedule.steps) {
      if (st.checks_input) check_input(ctx);
      for (int k = st.first_param; k < st.first_param + st.params; ++k) check_param(ctx, k);
      for (int i = st.first_allocation; i < st.first_allocation + st.allocations; ++i) {
        const qel_handle_struct* handle = ctx->alloc_handle;
        fill(&t[i], kSchedule.intermediates[i], handle);
        allocated = i + 1;
        handle->malloc(handle, &t[i]);
      }
      if (st.output_step) prepare_output(ctx);
      call(ctx, st, t);
      for (int r = 0; r < st.release_count; ++r) {
        released[st.releases[r]] = true;
        release(&t[st.releases[r]]);
      }
    }
  } catch (...) {
    // An operator or a memory operation failed: the later steps do not run, but
    // the intermediates that are still allocated go back to the handle so that a
    // failed run loses no memory.
    for (int i = 0; i < allocated; ++i)
      if (!released[i]) {
        released[i] = true;
        release(&t[i]);
      }
    throw;
  }
}
