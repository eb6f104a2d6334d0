#pragma once
// Classes as values: every class of the design has a descriptor with its name, its
// base and (for concrete classes) a factory, so "a graphic class", "derives from" and
// "the class registered for" are exact questions.
#include <functional>
#include <memory>
#include <string>

class TObject;
class TPersistent;

struct TClass {
  const char* Name;
  const TClass* Parent;                        // null for TObject
  std::unique_ptr<TObject> (*Create)();        // null for abstract classes

  bool InheritsFrom(const TClass& ancestor) const noexcept {
    for (const TClass* c = this; c; c = c->Parent)
      if (c == &ancestor) return true;
    return false;
  }
};
using TClassRef = const TClass*;

// Declares the class descriptor of a class; TVX_DEFINE_CLASS in the .cpp defines it.
#define TVX_DECLARE_CLASS                                                     \
public:                                                                       \
  static const TClass& ClassInfo() noexcept;                                  \
  const TClass& ClassType() const noexcept override { return ClassInfo(); }

#define TVX_DEFINE_CLASS_IMPL(Name, Base, Factory)                            \
  const TClass& Name::ClassInfo() noexcept {                                  \
    static const TClass info{#Name, &Base::ClassInfo(), Factory};             \
    return info;                                                              \
  }
#define TVX_DEFINE_CLASS(Name, Base)                                          \
  TVX_DEFINE_CLASS_IMPL(Name, Base, +[]() -> std::unique_ptr<TObject> { return std::make_unique<Name>(); })
#define TVX_DEFINE_ABSTRACT_CLASS(Name, Base) TVX_DEFINE_CLASS_IMPL(Name, Base, nullptr)

class TObject {
public:
  virtual ~TObject() = default;
  static const TClass& ClassInfo() noexcept;
  virtual const TClass& ClassType() const noexcept { return ClassInfo(); }
  const char* ClassName() const noexcept { return ClassType().Name; }
  bool InheritsFrom(const TClass& ancestor) const noexcept { return ClassType().InheritsFrom(ancestor); }
};

// Assignment between objects: Assign asks the source to AssignTo this object; the
// default AssignTo fails with the conversion error naming both classes.
class TPersistent : public TObject {
  TVX_DECLARE_CLASS
public:
  virtual void Assign(const TPersistent* source);

protected:
  virtual void AssignTo(TPersistent& dest) const;
  [[noreturn]] void AssignError(const TPersistent* source) const;
  friend class TPersistentAccess;
};

// Lets one class call another's protected AssignTo, as the framework's Assign does.
class TPersistentAccess {
public:
  static void AssignTo(const TPersistent& source, TPersistent& dest) { source.AssignTo(dest); }
};

using TNotifyEvent = std::function<void(TObject* sender)>;

// Creates an instance of a class descriptor as T; null when the class is abstract
// or does not derive from T.
template <class T>
std::unique_ptr<T> NewInstance(const TClass& cls) {
  if (!cls.Create || !cls.InheritsFrom(T::ClassInfo())) return nullptr;
  return std::unique_ptr<T>(static_cast<T*>(cls.Create().release()));
}
