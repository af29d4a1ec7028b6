#include "platform/rtl/Collection.h"

#include <algorithm>

namespace zelk::rtl {

TCollectionItem::TCollectionItem(TCollection* Collection) {
  if (Collection != nullptr) Collection->InsertItem(this);
}

TCollectionItem::~TCollectionItem() {
  // An item deleted directly (not through its collection) leaves the collection here; the
  // collection releases its ownership without deleting it again.
  if (FCollection != nullptr) FCollection->DetachItem(this);
}

int TCollectionItem::Index() const {
  if (FCollection == nullptr) return -1;
  const auto& L = FCollection->FItems;
  for (std::size_t I = 0; I < L.size(); ++I)
    if (L[I].get() == this) return static_cast<int>(I);
  return -1;
}

void TCollectionItem::SetIndex(int Value) {
  const int Cur = Index();
  if (Cur < 0 || Value == Cur) return;
  auto& L = FCollection->FItems;
  if (Value < 0 || Value >= static_cast<int>(L.size())) FCollection->IndexError(Value);
  auto P = std::move(L[static_cast<std::size_t>(Cur)]);
  L.erase(L.begin() + Cur);
  L.insert(L.begin() + Value, std::move(P));
  FCollection->Changed();
}

TPersistent* TCollectionItem::GetOwner() {
  return FCollection;
}

void TCollectionItem::Changed() {
  if (FCollection != nullptr && FCollection->FUpdateCount == 0) FCollection->Update(this);
}

TCollection::TCollection(TItemFactory ItemFactory) : FItemFactory(std::move(ItemFactory)) {}

TCollection::~TCollection() {
  ++FUpdateCount;  // no change notifications while the collection goes
  Clear();
}

TCollectionItem* TCollection::Add() {
  FItemFactory(this);
  // The factory's item appended itself; if its constructor threw, nothing was added.
  return FItems.back().get();
}

TCollectionItem* TCollection::Insert(int Index) {
  if (Index < 0 || Index > Count()) IndexError(Index);
  TCollectionItem* Item = Add();
  Item->SetIndex(Index);
  return Item;
}

void TCollection::Delete(int Index) {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  std::unique_ptr<TCollectionItem> P = std::move(FItems[static_cast<std::size_t>(Index)]);
  FItems.erase(FItems.begin() + Index);
  P->FCollection = nullptr;
  P.reset();
  Changed();
}

void TCollection::Clear() {
  if (FItems.empty()) return;
  BeginUpdate();
  while (!FItems.empty()) {
    std::unique_ptr<TCollectionItem> P = std::move(FItems.back());
    FItems.pop_back();
    P->FCollection = nullptr;
  }
  EndUpdate();
}

TCollectionItem* TCollection::GetItem(int Index) const {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  return FItems[static_cast<std::size_t>(Index)].get();
}

void TCollection::SetItem(int Index, TCollectionItem* Value) {
  GetItem(Index)->Assign(Value);
}

void TCollection::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) Changed();
}

void TCollection::Assign(TPersistent* Source) {
  auto* Other = dynamic_cast<TCollection*>(Source);
  if (Other == nullptr) {
    TPersistent::Assign(Source);
    return;
  }
  if (Other == this) return;
  BeginUpdate();
  try {
    Clear();
    for (int I = 0; I < Other->Count(); ++I)
      Add()->Assign(Other->GetItem(I));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TCollection::Update(TCollectionItem* /*Item*/) {}

void TCollection::IndexError(int Index) const {
  throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
}

void TCollection::InsertItem(TCollectionItem* Item) {
  FItems.emplace_back(Item);
  Item->FCollection = this;
  Changed();
}

void TCollection::DetachItem(TCollectionItem* Item) {
  const auto It =
      std::find_if(FItems.begin(), FItems.end(), [&](const auto& P) { return P.get() == Item; });
  if (It != FItems.end()) {
    (void)It->release();  // the item is being destroyed by its own destructor
    FItems.erase(It);
  }
  Item->FCollection = nullptr;
  Changed();
}

void TCollection::Changed() {
  if (FUpdateCount == 0) Update(nullptr);
}

}  // namespace zelk::rtl
