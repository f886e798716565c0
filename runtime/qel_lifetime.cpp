#include "runtime/qel_lifetime.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <iostream>

namespace qel {

namespace {

// Both locks are constant-initialised and never destroyed, so they work at
// any time of the process's life, exit handlers included.
pthread_mutex_t g_entry = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
pthread_mutex_t g_hooks = PTHREAD_MUTEX_INITIALIZER;

thread_local int t_depth = 0;  // entry locks this thread holds
unsigned g_marked_layers = 0;  // under g_entry: layer statics set up before the last exit mark

// The exit mark or the release has begun: from then on every call is
// refused. It is set before either waits for the call in progress, so that
// it takes the lock next however fast another thread calls again.
std::atomic<bool> g_closing{false};

ReleaseHook* g_stages[3] = {};        // under g_hooks
std::atomic<unsigned> g_layers{0};     // layer statics ever registered

ReleaseHook* pop(ReleaseStage stage) {
  pthread_mutex_lock(&g_hooks);
  ReleaseHook*& head = g_stages[static_cast<int>(stage)];
  ReleaseHook* hook = head;
  if (hook != nullptr) head = hook->next;
  pthread_mutex_unlock(&g_hooks);
  return hook;
}

// The exit mark. Setting up layers makes oneDNN register exit handlers of its
// own, and those free state and code that its primitives use. At process
// exit, handlers run newest first: a mark registered after them runs before
// them and stops the library from running afterwards, while a host's exit
// handler registered later still runs normally. The mark waits for a call in
// progress on another thread, so that call finishes before any of oneDNN's
// handlers runs. It is registered when the library loads; inside a run (a
// process may exit on another thread during a first run) again right after
// each oneDNN call that creates something (dnn/dnnl_handle.cpp), which only
// the first run after loading makes, as it sets up the layers; and at the end
// of any call that set up new layers. So a load registers it about once per
// oneDNN creation call of its layers, and later runs register it no more.
// What stays open is the inside of one such oneDNN call: it registers its
// handler when it first sets up some of its state and goes on using that
// state until it returns, and an exit that begins in between frees it under
// the call. Only the first creations of primitives in a process make such
// calls. (At unload the mark runs after the release.)
void mark_exiting() {
  g_closing = true;
  const EntryLock lock;  // waits for the call in progress
}

void register_exit_mark() noexcept { std::atexit(mark_exiting); }

__attribute__((constructor)) void mark_at_load() { register_exit_mark(); }

// The release routine: releases every registered object, stage by stage, and
// leaves the entry points refusing to run.
__attribute__((destructor)) void release_library() {
  g_closing = true;
  const EntryLock lock;
  for (ReleaseStage stage : {ReleaseStage::kLayers, ReleaseStage::kHandleLayer, ReleaseStage::kRuntime}) {
    while (ReleaseHook* hook = pop(stage)) hook->release(hook->object);
  }
}

}  // namespace

void renew_exit_mark() noexcept {
  if (t_depth > 0) register_exit_mark();
}

EntryLock::EntryLock() noexcept {
  pthread_mutex_lock(&g_entry);
  depth_ = ++t_depth;
}

EntryLock::~EntryLock() {
  if (depth_ == 1 && !g_closing.load(std::memory_order_relaxed)) {
    const unsigned layers = g_layers.load(std::memory_order_relaxed);
    if (layers != g_marked_layers) {
      g_marked_layers = layers;
      register_exit_mark();
    }
  }
  --t_depth;
  pthread_mutex_unlock(&g_entry);
}

bool EntryLock::refused() const noexcept { return reentered() || g_closing.load(std::memory_order_relaxed); }

namespace {
bool say_refusal(bool refused, const char* what) {
  if (refused)
    std::cout << "ERROR: The library is shutting down or was called from inside its own run; " << what << std::endl;
  return refused;
}
}  // namespace

bool EntryLock::refused_run() const { return say_refusal(refused(), "nothing was run."); }
bool EntryLock::refused_call() const { return say_refusal(refused(), "nothing was done."); }

void register_release(ReleaseStage stage, ReleaseHook* hook) noexcept {
  pthread_mutex_lock(&g_hooks);
  ReleaseHook*& head = g_stages[static_cast<int>(stage)];
  hook->next = head;
  head = hook;
  if (stage == ReleaseStage::kLayers) ++g_layers;
  pthread_mutex_unlock(&g_hooks);
}

}  // namespace qel
