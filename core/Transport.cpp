// HTTPS transport. The network path is not built yet; the test seam works.
#include "core/IWZelkAuthBase.h"

namespace zelk::IWZelkAuthBase {

namespace {

struct THookHolder {
  std::mutex Mutex;
  TTransportHook Hook;
};

THookHolder& Hook() {
  static THookHolder H;
  return H;
}

std::string Send(TTransportRequest Request) {
  TTransportHook Current;
  {
    std::lock_guard L(Hook().Mutex);
    Current = Hook().Hook;
  }
  if (Current) return Current(Request);
  throw rtl::Exception("InternetOpen Error 0 Description HTTPS transport not available");
}

}  // namespace

void SetTransportHook(TTransportHook NewHook) {
  std::lock_guard L(Hook().Mutex);
  Hook().Hook = std::move(NewHook);
}

void Https_Get(const std::string& Host, const std::string& Path, std::string& Body) {
  Body.clear();
  Body = Send({"GET", Host, Path, {}, {}});
}

void Https_Post(const std::string& Host, const std::string& Path, const std::string& Headers,
                const std::string& Data, std::string& Body) {
  Body.clear();
  Body = Send({"POST", Host, Path, Headers, Data});
}

}  // namespace zelk::IWZelkAuthBase
