#include "platform/rtl/ClassRegistry.h"

#include <algorithm>
#include <map>

namespace zelk::rtl {

namespace {

struct Registry {
  std::mutex Mutex;
  std::map<std::string, TClassInfo> Classes;
};

Registry& TheRegistry() {
  static Registry R;
  return R;
}

}  // namespace

void TClassRegistry::RegisterClass(TClassInfo Info) {
  auto& R = TheRegistry();
  std::lock_guard Lock(R.Mutex);
  std::string Key = Info.Name;
  R.Classes.insert_or_assign(std::move(Key), std::move(Info));
}

std::optional<TClassInfo> TClassRegistry::FindClass(const std::string& Name) {
  auto& R = TheRegistry();
  std::lock_guard Lock(R.Mutex);
  const auto It = R.Classes.find(Name);
  if (It == R.Classes.end()) return std::nullopt;
  return It->second;
}

std::vector<TPropertyInfo> TClassRegistry::PublishedProperties(const std::string& Name) {
  std::vector<TClassInfo> Chain;
  std::string Cur = Name;
  while (!Cur.empty()) {
    auto Info = FindClass(Cur);
    if (!Info) {
      if (Chain.empty()) throw EInvalidCast("Class " + Name + " is not registered");
      break;
    }
    Cur = Info->ParentName;
    Chain.push_back(std::move(*Info));
    if (Chain.size() > 64) throw Exception("Class " + Name + " has a cyclic ancestry");
  }
  std::vector<TPropertyInfo> Result;
  for (auto It = Chain.rbegin(); It != Chain.rend(); ++It)
    for (auto& P : It->Properties) {
      // A descendant may redeclare an ancestor's property: the last declaration wins, in place.
      auto Same = std::find_if(Result.begin(), Result.end(),
                               [&](const TPropertyInfo& Q) { return Q.Name == P.Name; });
      if (Same != Result.end())
        *Same = P;
      else
        Result.push_back(P);
    }
  return Result;
}

TComponent* TClassRegistry::CreateComponent(const std::string& Name, TComponent* Owner) {
  auto Info = FindClass(Name);
  if (!Info) throw Exception("Class " + Name + " not found");
  if (!Info->Create) throw Exception("Class " + Name + " is not a component class");
  return Info->Create(Owner);
}

std::vector<std::string> TClassRegistry::ClassNames() {
  auto& R = TheRegistry();
  std::lock_guard Lock(R.Mutex);
  std::vector<std::string> Names;
  for (const auto& [K, V] : R.Classes)
    Names.push_back(K);
  return Names;
}

}  // namespace zelk::rtl
