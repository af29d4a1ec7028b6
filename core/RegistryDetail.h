// What a client and the registry entries naming it share (private to the library).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "core/AuthTypes.h"

namespace zelk::IWZelkAuthBase {

class TZIWCustomCloudClient;

namespace detail {
// Shared between a client and the registry entries that name it, so that a request thread
// that found the client in a registry can tell, under the client's lock, whether the client
// still exists.
struct TClientGuard {
  std::recursive_mutex Mutex;
  TZIWCustomCloudClient* Client = nullptr;  // valid while Alive
  bool Alive = true;                        // guarded by Mutex
  // Registry entries naming the client, in every controller: a client named by none leaves
  // without visiting every controller.
  std::atomic<std::size_t> Entries{0};
  // The client's place in the referrer list of the controller it points at, guarded by that
  // controller's lock. The list owns its members (next links are shared), so a guard stays
  // valid while listed, even once its client is gone; ReferrerOf names the list's controller.
  std::shared_ptr<TClientGuard> NextReferrer;
  TClientGuard* PreviousReferrer = nullptr;
  std::atomic<const void*> ReferrerOf{nullptr};
};
}  // namespace detail

}  // namespace zelk::IWZelkAuthBase
