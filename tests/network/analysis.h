// Reads a recorded run back as steps and intermediates.
#pragma once
#include <map>
#include <vector>

#include "tests/network/recorder.h"

namespace netrec {

struct Intermediate {
  const qel_tensor_struct* desc = nullptr;
  Snapshot at_allocation;      // the descriptor as handed to malloc (after it)
  void* data_before = nullptr;
  int allocations = 0;
  int releases = 0;
  int allocated_before = -1;   // step whose call follows the allocation
  int released_after = -1;     // step whose call precedes the release
  int first_use = -1;          // first and last step taking it as an argument
  int last_use = -1;
};

struct Analysis {
  std::vector<int> calls;                  // event index of every call
  std::vector<int> calls_before;           // per event: calls recorded before it
  std::vector<Intermediate> intermediates; // in allocation order
  std::map<const qel_tensor_struct*, int> number;
  std::vector<int> checks;                 // event index of every materialise init
  int scratch_allocations = 0;
  int scratch_releases = 0;
  int output_allocations = 0;
  int unknown_releases = 0;                // releases of descriptors never allocated
};

// `network_handle` is the context's alloc_handle.
inline Analysis analyse(const std::vector<Event>& events, const qel_handle_struct* network_handle) {
  Analysis a;
  int calls = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    a.calls_before.push_back(calls);
    if (e.kind == Event::kCall) {
      a.calls.push_back(static_cast<int>(i));
      for (const Snapshot& s : e.tensors) {
        const auto it = a.number.find(s.desc);
        if (it == a.number.end()) continue;
        Intermediate& t = a.intermediates[static_cast<size_t>(it->second)];
        if (t.first_use < 0) t.first_use = calls;
        t.last_use = calls;
      }
      ++calls;
    } else if (e.kind == Event::kInit) {
      a.checks.push_back(static_cast<int>(i));
    } else if (e.by_operator) {
      (e.kind == Event::kMalloc ? a.scratch_allocations : a.scratch_releases)++;
    } else if (e.kind == Event::kMalloc && e.handle != network_handle) {
      ++a.output_allocations;
    } else if (e.kind == Event::kMalloc) {
      const Snapshot& s = e.tensors[0];
      auto it = a.number.find(s.desc);
      if (it == a.number.end()) {
        it = a.number.emplace(s.desc, static_cast<int>(a.intermediates.size())).first;
        a.intermediates.emplace_back();
        a.intermediates.back().desc = s.desc;
        a.intermediates.back().at_allocation = s;
        a.intermediates.back().data_before = e.data_before;
        a.intermediates.back().allocated_before = calls;
      }
      a.intermediates[static_cast<size_t>(it->second)].allocations++;
    } else {
      const auto it = a.number.find(e.tensors[0].desc);
      if (it == a.number.end()) {
        ++a.unknown_releases;
        continue;
      }
      Intermediate& t = a.intermediates[static_cast<size_t>(it->second)];
      t.releases++;
      t.released_after = calls - 1;
    }
  }
  return a;
}

// The line a check reports: the first check stands at 850; each check takes 3
// lines, each allocation 2, each call 1 and each release 1, in program order.
inline int report_line(const std::vector<Event>& events, const qel_handle_struct* network_handle,
                       int check_event) {
  int line = 850;
  for (int i = 0; i < check_event; ++i) {
    const Event& e = events[static_cast<size_t>(i)];
    if (e.kind == Event::kInit) line += 3;
    if (e.kind == Event::kCall) line += 1;
    if (e.by_operator) continue;
    if (e.kind == Event::kMalloc && e.handle == network_handle) line += 2;
    if (e.kind == Event::kFree) line += 1;
  }
  return line;
}

}  // namespace netrec
