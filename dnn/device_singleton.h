// The layer static: one per layer function, it creates the layer's primitive
// on first use through the layer's creator and owns it until the library is
// released (unloaded, or the process ends).
#pragma once
#include <functional>
#include <stdexcept>

#include "runtime/qel_lifetime.h"
#include "runtime/qel_records.h"

namespace qel {
namespace dnn {

// The primitive object a creator allocates and a layer static owns. It is the
// primitive itself (a convolution or a reorder), so a pointer to it serves as
// the primitive's executor without adjustment.
template <typename T, typename... Rest>
class DeviceItem : public T {
 public:
  using T::T;
};

template <typename T, typename... Rest>
class DeviceSingleton {
 public:
  using Item = DeviceItem<T, Rest...>;
  using Creator = std::function<Item*(const qel_ctx_struct*)>;
  using Initializer = std::function<void(const qel_ctx_struct*, T&)>;

  // Holds copies of both callables and no item; calls neither. A failure
  // here (none is possible with capture-free callables) ends the process.
  DeviceSingleton(const Creator& c, const Initializer& i) noexcept
      : item(nullptr), creator(c), initializer(i) {}

  // Destroys the item, if one was created, through its executor base. Never
  // throws (the executors' destructors do not).
  ~DeviceSingleton() {
    if (item != nullptr) {
      delete item;
      item = nullptr;
    }
  }

  DeviceSingleton(const DeviceSingleton&) = delete;
  DeviceSingleton& operator=(const DeviceSingleton&) = delete;

  // Get-or-create: the item, created with `ctx` if there is none yet. A
  // creator that throws leaves no item, and the next call tries again; an
  // empty creator raises std::bad_function_call. Not locked: one layer
  // function must not run on two threads at once before its item exists.
  Item& get(const qel_ctx_struct* ctx) {
    if (item == nullptr) item = creator(ctx);
    return *item;
  }

  Item* item;
  Creator creator;
  Initializer initializer;  // held and destroyed, never called
};

// How a layer function holds its layer static: as a function-local static
// that no exit handler destroys. Constructed on the layer function's first
// call, it registers with the library's release, which destroys the layer
// statics in reverse order of first use, before the handle layer's engine.
template <typename T, typename... Rest>
class LayerStatic {
 public:
  using Singleton = DeviceSingleton<T, Rest...>;

  LayerStatic(const typename Singleton::Creator& c, const typename Singleton::Initializer& i) noexcept
      : singleton_(c, i), hook_{&release, this, nullptr} {
    register_release(ReleaseStage::kLayers, &hook_);
  }
  LayerStatic(const LayerStatic&) = delete;
  LayerStatic& operator=(const LayerStatic&) = delete;

  // Get-or-create of the layer static. Once the library has been released
  // the layer static is gone, and a call is an error.
  typename Singleton::Item& get(const qel_ctx_struct* ctx) {
    if (released_) throw std::logic_error("a layer was called after the library was released");
    return singleton_->get(ctx);
  }

 private:
  static void release(void* self) {
    auto* s = static_cast<LayerStatic*>(self);
    s->singleton_.destroy();
    s->released_ = true;
  }

  Resident<Singleton> singleton_;
  ReleaseHook hook_;
  bool released_ = false;
};

}  // namespace dnn
}  // namespace qel
