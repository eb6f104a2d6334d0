#include "rtl/Classes.h"

#include "rtl/Exception.h"

const TClass& TObject::ClassInfo() noexcept {
  static const TClass info{"TObject", nullptr, nullptr};
  return info;
}

TVX_DEFINE_ABSTRACT_CLASS(TPersistent, TObject)

void TPersistent::Assign(const TPersistent* source) {
  if (source) {
    TPersistentAccess::AssignTo(*source, *this);
    return;
  }
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent& dest) const { dest.AssignError(this); }

void TPersistent::AssignError(const TPersistent* source) const {
  const std::string sourceName = source ? source->ClassName() : "nil";
  throw EConvertError("Cannot assign a " + sourceName + " to a " + ClassName());
}
