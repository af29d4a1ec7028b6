// TCollection and TCollectionItem: an owned, ordered list of items that the designer edits as
// one property. The collection owns its items; deleting an item removes it from its collection.
#pragma once

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
};

class TCollection : public TPersistent {
 public:
  using TItemFactory = std::function<void(TCollection*)>;

  // ItemFactory creates one item of the collection's item class in the given collection (the
  // item's constructor appends it).
  explicit TCollection(TItemFactory ItemFactory);
  ~TCollection() override;
  std::string ClassName() const override { return "TCollection"; }

  int Count() const { return static_cast<int>(FItems.size()); }
  TCollectionItem* Add();
  TCollectionItem* Insert(int Index);
  void Delete(int Index);
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
  void Changed();

  TItemFactory FItemFactory;
  std::vector<std::unique_ptr<TCollectionItem>> FItems;
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
