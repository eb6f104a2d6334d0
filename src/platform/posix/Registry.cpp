#include "platform/Registry.h"

namespace platform {

// No per-user registry here: every key is absent, as on a Windows machine without it.
TRegistryRead ReadUserRegistryString(const std::string&, const std::string&, std::string& text) {
  text.clear();
  return TRegistryRead::KeyAbsent;
}

}  // namespace platform
