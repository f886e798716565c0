// The library's life inside a host process: the one lock of its entry points,
// and the release of its process-wide state.
//
// No process-wide object of the library is destroyed by an exit handler: a
// host's exit handler registered before the library was loaded runs after
// every handler registered while it loaded, and may still call the library.
// Objects that hold resources register here instead, and the library's one
// release routine, an ELF finaliser, releases them. The dynamic linker runs it
// when the library is unloaded and, at process exit, from its own exit
// handler, which was registered before any other and so runs after all of
// them. The release takes the entry lock, so it waits for a call in progress
// on another thread; afterwards the entry points refuse to run.
//
// oneDNN has no such care: its exit handlers free code that its primitives
// run. Once the first of them may have run, the entry points refuse to run
// too (see mark_exiting in qel_lifetime.cpp).
#pragma once
#include <new>
#include <type_traits>
#include <utility>

namespace qel {

// Serialises the library's entry points: one thread at a time is inside the
// library. The thread that holds the lock may take it again, since entry
// points are also called from inside a run (the handle's memory operations,
// from the network function).
class EntryLock {
 public:
  EntryLock() noexcept;
  ~EntryLock();
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;

  // This thread was already inside the library: a call made from inside a
  // run, or from an exit handler on the thread of a run that ended the
  // process (a failed check).
  bool reentered() const noexcept { return depth_ > 1; }
  // A call that would start a run, plan or release memory must do nothing:
  // re-entered, or made once the process has begun to exit, or after the
  // release.
  bool refused() const noexcept;
  // refused(), said on standard output, so that a refusal never passes for
  // the call's work: for a call that would run the network, and for any
  // other that would change the library's state (bind, initialise, release).
  bool refused_run() const;
  bool refused_call() const;

 private:
  int depth_;  // this thread's entry locks, this one included
};

// Registers the exit mark once more (see qel_lifetime.cpp), so that it runs
// before every exit handler registered until now; for code that has just set
// up oneDNN state, which registers exit handlers of its own (the handle layer,
// right after each oneDNN call that creates something). Only a call into the
// library is what an exit waits for, so outside one this does nothing: a
// program that creates primitives through the handle layer by itself, again
// and again, registers nothing.
void renew_exit_mark() noexcept;

// The stages of the release, in the order in which they run; within a stage
// the object registered last is released first.
enum class ReleaseStage {
  kLayers,       // layer statics, in reverse order of first use
  kHandleLayer,  // the DNN handle layer's engine, stream and scratch
  kRuntime,      // memory manager and task runtime
};

// One registration: `release(object)` runs once, in the release. The hook
// must stay valid until then; a released hook may be registered again.
struct ReleaseHook {
  void (*release)(void* object);
  void* object;
  ReleaseHook* next;
};
void register_release(ReleaseStage stage, ReleaseHook* hook) noexcept;

// A static that registers `release` when the library loads.
class ReleaseAtLoad {
 public:
  ReleaseAtLoad(ReleaseStage stage, void (*release)(void*)) noexcept : hook_{release, nullptr, nullptr} {
    register_release(stage, &hook_);
  }
  ReleaseAtLoad(const ReleaseAtLoad&) = delete;
  ReleaseAtLoad& operator=(const ReleaseAtLoad&) = delete;

 private:
  ReleaseHook hook_;
};

// Storage of a process-wide object of the library that no exit handler
// destroys: the object is built in place and lives until its owner releases
// what it holds (see register_release). The wrapper itself is trivially
// destructible, so a static of this type registers nothing for process exit.
template <typename T>
class Resident {
 public:
  template <typename... Args>
  explicit Resident(Args&&... args) {
    new (&storage_) T(std::forward<Args>(args)...);
  }
  Resident(const Resident&) = delete;
  Resident& operator=(const Resident&) = delete;

  T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(&storage_)); }
  T* operator->() noexcept { return &**this; }
  // Ends the object's life; only its owner's release calls this, once.
  void destroy() noexcept { (**this).~T(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace qel
