// The layer static: one per layer function, it creates the layer's primitive
// on first use through the layer's creator and owns it until process exit.
#pragma once
#include <functional>

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

}  // namespace dnn
}  // namespace qel
