// TCollection and TCollectionItem: an owned, ordered list of items that the designer edits as
// one property. The collection owns its items; deleting an item removes it from its collection.
//
// Removing an item costs O(1) amortised whatever the collection's size: the item's slot is left
// empty and the slots are closed up in one pass, either when half of them are empty or when a
// position is next asked for (Index, GetItem, Insert, SetIndex). A collection holding the
// entries of ten thousand sessions, where each session's entries leave as it ends, therefore
// never pays a scan or a move of the whole list per removal.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"

namespace zelk::rtl {

class TCollection;

class TCollectionItem : public TPersistent {
 public:
  // Appends the new item to Collection (when given), which then owns it.
  explicit TCollectionItem(TCollection* Collection);
  ~TCollectionItem() override;
  std::string ClassName() const override { return "TCollectionItem"; }

  TCollection* Collection() const { return FCollection; }
  // 0-based position in the collection, or -1 for an item outside any collection.
  int Index() const;
  // True when this item comes before Other in their common collection; it reads no positions,
  // so it costs O(1) even right after removals.
  bool Precedes(const TCollectionItem& Other) const { return FSlot < Other.FSlot; }
  void SetIndex(int Value);
  TPersistent* GetOwner() override;
  // The name the designer lists the item by; the class name unless a subclass says otherwise.
  virtual std::string GetDisplayName() const { return ClassName(); }
  std::string DisplayName() const { return GetDisplayName(); }

 protected:
  // Tells the collection that this item changed.
  void Changed();

 private:
  friend class TCollection;
  TCollection* FCollection = nullptr;
  // The item's slot in its collection's storage; slots keep the collection's order. 32 bits
  // (a collection holds at most INT_MAX items), so that a descendant's first 32-bit field fills
  // the rest of the word: registries hold one item per session.
  std::uint32_t FSlot = 0;
};

class TCollection : public TPersistent {
 public:
  using TItemFactory = std::function<void(TCollection*)>;

  // ItemFactory creates one item of the collection's item class in the given collection (the
  // item's constructor appends it).
  explicit TCollection(TItemFactory ItemFactory);
  ~TCollection() override;
  std::string ClassName() const override { return "TCollection"; }

  int Count() const { return static_cast<int>(FItems.size() - FHoles); }
  TCollectionItem* Add();
  TCollectionItem* Insert(int Index);
  void Delete(int Index);
  // Deletes Item, which must belong to this collection (EListError otherwise), without asking
  // for its position: O(1) amortised.
  void DeleteItem(TCollectionItem* Item);
  void Clear();
  // The item at Index; EListError outside 0 .. Count - 1.
  TCollectionItem* GetItem(int Index) const;
  // Copies Value into the item at Index through the item's Assign.
  void SetItem(int Index, TCollectionItem* Value);
  TCollectionItem* FindItemID(int Index) const { return GetItem(Index); }

  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }

  // Copies another collection of the same kind: same number of items, each assigned in order.
  void Assign(TPersistent* Source) override;

  // Change notification; Item is the changed item or none for the whole collection.
  virtual void Update(TCollectionItem* Item);

 protected:
  [[noreturn]] void IndexError(int Index) const;

 private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* Item);
  void DetachItem(TCollectionItem* Item);
  // Empties Item's slot and hands its ownership back; closes up the slots when half are empty.
  std::unique_ptr<TCollectionItem> TakeItem(TCollectionItem* Item);
  // Closes up the empty slots, so that slots are positions again.
  void Compact() const;
  void Changed();

  TItemFactory FItemFactory;
  // Storage in collection order; removed items leave an empty slot until Compact runs. Compact
  // changes no observable state, so const readers may run it.
  mutable std::vector<std::unique_ptr<TCollectionItem>> FItems;
  mutable std::size_t FHoles = 0;
  int FUpdateCount = 0;
};

// A collection whose items are of class Item; Item must have a constructor taking the
// collection. Items(i) gives the typed item.
template <typename Item>
class TOwnedCollectionOf : public TCollection {
 public:
  TOwnedCollectionOf() : TCollection([](TCollection* C) { new Item(C); }) {}
  Item* Add() { return static_cast<Item*>(TCollection::Add()); }
  Item* Insert(int Index) { return static_cast<Item*>(TCollection::Insert(Index)); }
  Item* Items(int Index) const { return static_cast<Item*>(GetItem(Index)); }
  void SetItems(int Index, Item* Value) { SetItem(Index, Value); }
};

}  // namespace zelk::rtl
