// The runtime's object model: TObject, TPersistent (copyable, streamable sub-objects) and
// TComponent (owner tree, name, tag, component state and free notification).
//
// A component is created with its owner (`new TFoo(Owner)`), is entered into the owner's
// component list and is deleted by the owner when the owner goes. A component created without an
// owner belongs to whoever created it (hold it in a std::unique_ptr). Components that refer to
// each other without owning call FreeNotification so that each is told, through Notification
// with opRemove, when the other is destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Set.h"
#include "platform/rtl/SysUtils.h"

namespace zelk::rtl {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
  virtual std::string ClassName() const { return "TObject"; }
};

// Notification event: code plus receiver, called with the sender. Assigned when non-empty.
using TNotifyEvent = std::function<void(TObject* Sender)>;

class TPersistent : public TObject {
 public:
  std::string ClassName() const override { return "TPersistent"; }
  // Copies Source into this object. The base asks Source to AssignTo this object, which raises
  // EConvertError: a class that can be copied overrides Assign or AssignTo.
  virtual void Assign(TPersistent* Source);
  // The object that owns this one in the designer's sense (a collection's owner, an item's
  // collection); none by default.
  virtual TPersistent* GetOwner() { return nullptr; }

 protected:
  virtual void AssignTo(TPersistent* Dest);
};

enum class TComponentStateFlag { csLoading, csReading, csWriting, csDestroying, csDesigning };
using TComponentState = TSet<TComponentStateFlag>;
using enum TComponentStateFlag;

enum class TOperation { opInsert, opRemove };
using enum TOperation;

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  std::string ClassName() const override { return "TComponent"; }

  TComponent* Owner() const { return FOwner; }
  TPersistent* GetOwner() override { return FOwner; }

  const std::string& Name() const { return FName; }
  // A name is empty or an identifier (letter or "_", then letters, digits, "_") that no other
  // component of the same owner has; anything else raises Exception.
  void SetName(const std::string& NewName);
  std::int32_t Tag() const { return FTag; }
  void SetTag(std::int32_t Value) { FTag = Value; }

  TComponentState ComponentState() const { return FComponentState; }
  bool IsDesigning() const { return FComponentState.Contains(csDesigning); }
  // Designing state, for this component and (by default) everything it owns.
  void SetDesigning(bool Value, bool SetChildren = true);
  // Loading state, set by the form reader while it fills the component; Loaded() ends it.
  void Loading() { FComponentState.Include(csLoading); }
  virtual void Loaded() { FComponentState.Exclude(csLoading); }
  void SetReading(bool Value);

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const;
  TComponent* FindComponent(const std::string& AName) const;
  int ComponentIndex() const;

  // Frees every owned component, last first.
  void DestroyComponents();

  // Asks to be told, through Notification(AComponent, opRemove), when AComponent goes; the link
  // works both ways. RemoveFreeNotification undoes it.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

 protected:
  // Told when a component is inserted into or removed from this owner, and when a component
  // that asked for free notification is destroyed.
  virtual void Notification(TComponent* AComponent, TOperation Operation);

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void RemoveNotificationLink(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  std::string FName;
  std::int32_t FTag = 0;
  TComponentState FComponentState;
  std::vector<TComponent*> FComponents;    // owned
  std::vector<TComponent*> FFreeNotifies;  // not owned; guarded by the notification lock
};

// Frees a component through its owner's bookkeeping (the same as deleting it).
inline void FreeAndNil(TComponent*& C) {
  delete C;
  C = nullptr;
}

}  // namespace zelk::rtl
