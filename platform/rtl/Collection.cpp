#include "platform/rtl/Collection.h"

#include <algorithm>
#include <climits>
#include <string>

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
  FCollection->Compact();
  return static_cast<int>(FSlot);
}

void TCollectionItem::SetIndex(int Value) {
  const int Cur = Index();
  if (Cur < 0 || Value == Cur) return;
  auto& L = FCollection->FItems;
  if (Value < 0 || Value >= static_cast<int>(L.size())) FCollection->IndexError(Value);
  auto P = std::move(L[static_cast<std::size_t>(Cur)]);
  L.erase(L.begin() + Cur);
  L.insert(L.begin() + Value, std::move(P));
  const auto [Low, High] = std::minmax(Cur, Value);
  for (int I = Low; I <= High; ++I)
    L[static_cast<std::size_t>(I)]->FSlot = static_cast<std::uint32_t>(I);
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
  DeleteItem(GetItem(Index));
}

void TCollection::DeleteItem(TCollectionItem* Item) {
  if (Item == nullptr || Item->FCollection != this)
    throw EListError("The item to delete is not in this collection");
  std::unique_ptr<TCollectionItem> P = TakeItem(Item);
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
    if (P) P->FCollection = nullptr;
  }
  FHoles = 0;
  EndUpdate();
}

TCollectionItem* TCollection::GetItem(int Index) const {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  Compact();
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
  if (FItems.size() >= static_cast<std::size_t>(INT_MAX)) Compact();
  if (FItems.size() >= static_cast<std::size_t>(INT_MAX))
    throw EListError("The collection cannot hold more than " + std::to_string(INT_MAX) + " items");
  Item->FSlot = static_cast<std::uint32_t>(FItems.size());
  FItems.emplace_back(Item);
  Item->FCollection = this;
  Changed();
}

void TCollection::DetachItem(TCollectionItem* Item) {
  // The item is being destroyed by its own destructor: only the ownership is given up.
  (void)TakeItem(Item).release();
  Item->FCollection = nullptr;
  Changed();
}

std::unique_ptr<TCollectionItem> TCollection::TakeItem(TCollectionItem* Item) {
  std::unique_ptr<TCollectionItem> P;
  if (Item->FSlot < FItems.size() && FItems[Item->FSlot].get() == Item) {
    P = std::move(FItems[Item->FSlot]);
    if (Item->FSlot + 1 == FItems.size()) {
      FItems.pop_back();  // the last slot: nothing to close up
    } else {
      ++FHoles;
    }
  }
  // Trailing empty slots go at once; the rest when half of the slots are empty.
  while (!FItems.empty() && FItems.back() == nullptr) {
    FItems.pop_back();
    --FHoles;
  }
  if (FHoles > 0 && FHoles * 2 >= FItems.size()) Compact();
  return P;
}

void TCollection::Compact() const {
  if (FHoles == 0) return;
  std::size_t To = 0;
  for (std::size_t From = 0; From < FItems.size(); ++From) {
    if (FItems[From] == nullptr) continue;
    if (To != From) FItems[To] = std::move(FItems[From]);
    FItems[To]->FSlot = static_cast<std::uint32_t>(To);
    ++To;
  }
  FItems.resize(To);
  FHoles = 0;
}

void TCollection::Changed() {
  if (FUpdateCount == 0) Update(nullptr);
}

}  // namespace zelk::rtl
