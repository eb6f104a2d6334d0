#pragma once
// The per-user registry (HKEY_CURRENT_USER); a platform without one has no keys.
#include <string>

namespace platform {

enum class TRegistryRead : unsigned char {
  KeyAbsent,  // the key does not exist or cannot be opened with full access
  Ok,         // text holds the value (empty when the key has no such value)
  Error,      // the value exists but is not a string
};

// Reads a string value (REG_SZ or REG_EXPAND_SZ, taken without expanding variables) of a
// key under HKEY_CURRENT_USER, opened without creating it and with full access rights, so
// a key the user may only read counts as absent. key may start with "\".
TRegistryRead ReadUserRegistryString(const std::string& key, const std::string& valueName, std::string& text);

}  // namespace platform
