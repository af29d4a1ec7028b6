#include "platform/rtl/ClassRegistry.h"

#include <algorithm>
#include <map>

namespace zelk::rtl {

namespace {

struct Registry {
  std::mutex Mutex;
  std::map<std::string, std::shared_ptr<const TClassInfo>, std::less<>> Classes;
  // Flattened property lists by class, published and run-time state; emptied whenever a class
  // is registered, since that may change any descendant's list.
  using TFlattened =
      std::map<std::string, std::shared_ptr<const std::vector<TPropertyInfo>>, std::less<>>;
  TFlattened Flattened;
  TFlattened FlattenedState;
};

Registry& TheRegistry() {
  static Registry R;
  return R;
}

}  // namespace

void TClassRegistry::RegisterClass(TClassInfo Info) {
  auto& R = TheRegistry();
  auto Entry = std::make_shared<const TClassInfo>(std::move(Info));
  std::lock_guard Lock(R.Mutex);
  R.Classes.insert_or_assign(Entry->Name, std::move(Entry));
  R.Flattened.clear();
  R.FlattenedState.clear();
}

std::shared_ptr<const TClassInfo> TClassRegistry::ClassInfo(const std::string& Name) {
  auto& R = TheRegistry();
  std::lock_guard Lock(R.Mutex);
  const auto It = R.Classes.find(Name);
  return It == R.Classes.end() ? nullptr : It->second;
}

std::optional<TClassInfo> TClassRegistry::FindClass(const std::string& Name) {
  auto Info = ClassInfo(Name);
  if (!Info) return std::nullopt;
  return *Info;
}

std::vector<TPropertyInfo> TClassRegistry::PublishedProperties(const std::string& Name) {
  return *PublishedPropertiesOf(Name);
}

namespace {

// The properties List names of the class and its ancestors, ancestors' first, from the cache
// Cache or worked out and cached there.
std::shared_ptr<const std::vector<TPropertyInfo>> Flatten(
    const std::string& Name, std::vector<TPropertyInfo> TClassInfo::*List,
    Registry::TFlattened Registry::*Cache) {
  auto& R = TheRegistry();
  {
    std::lock_guard Lock(R.Mutex);
    const auto& Map = R.*Cache;
    if (const auto It = Map.find(Name); It != Map.end()) return It->second;
  }
  std::vector<std::shared_ptr<const TClassInfo>> Chain;
  std::string Cur = Name;
  while (!Cur.empty()) {
    auto Info = TClassRegistry::ClassInfo(Cur);
    if (!Info) {
      if (Chain.empty()) throw EInvalidCast("Class " + Name + " is not registered");
      break;
    }
    Cur = Info->ParentName;
    Chain.push_back(std::move(Info));
    if (Chain.size() > 64) throw Exception("Class " + Name + " has a cyclic ancestry");
  }
  auto Result = std::make_shared<std::vector<TPropertyInfo>>();
  for (auto It = Chain.rbegin(); It != Chain.rend(); ++It)
    for (const auto& P : (**It).*List) {
      // A descendant may redeclare an ancestor's property: the last declaration wins, in place.
      auto Same = std::find_if(Result->begin(), Result->end(),
                               [&](const TPropertyInfo& Q) { return Q.Name == P.Name; });
      if (Same != Result->end())
        *Same = P;
      else
        Result->push_back(P);
    }
  std::shared_ptr<const std::vector<TPropertyInfo>> Shared = std::move(Result);
  std::lock_guard Lock(R.Mutex);
  // A class registered while the list was worked out may have changed it: keep it uncached.
  bool Current = true;
  for (const auto& Info : Chain) {
    const auto It = R.Classes.find(Info->Name);
    Current = Current && It != R.Classes.end() && It->second == Info;
  }
  if (Current) (R.*Cache).emplace(Name, Shared);
  return Shared;
}

}  // namespace

std::shared_ptr<const std::vector<TPropertyInfo>> TClassRegistry::PublishedPropertiesOf(
    const std::string& Name) {
  return Flatten(Name, &TClassInfo::Properties, &Registry::Flattened);
}

std::shared_ptr<const std::vector<TPropertyInfo>> TClassRegistry::RunTimeStateOf(
    const std::string& Name) {
  return Flatten(Name, &TClassInfo::State, &Registry::FlattenedState);
}

TComponent* TClassRegistry::CreateComponent(const std::string& Name, TComponent* Owner) {
  const auto Info = ClassInfo(Name);
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
