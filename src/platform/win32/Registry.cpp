#include "platform/Registry.h"

#include "platform/win32/WinHeaders.h"
#include "platform/win32/WinText.h"

namespace platform {

TRegistryRead ReadUserRegistryString(const std::string& key, const std::string& valueName, std::string& text) {
  text.clear();
  std::wstring path = Utf8ToWide(key);
  if (!path.empty() && path.front() == L'\\') path.erase(0, 1);
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS)
    return TRegistryRead::KeyAbsent;
  struct TKeyCloser {
    HKEY Key;
    ~TKeyCloser() { ::RegCloseKey(Key); }
  } closer{handle};

  const std::wstring name = Utf8ToWide(valueName);
  DWORD type = 0, size = 0;
  LSTATUS status = ::RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) return TRegistryRead::Ok;
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return TRegistryRead::Error;
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  DWORD got = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  status = ::RegQueryValueExW(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &got);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return TRegistryRead::Error;
  // The stored text may or may not carry its terminator; it ends at the first zero.
  value.resize(got / sizeof(wchar_t));
  if (const auto zero = value.find(L'\0'); zero != std::wstring::npos) value.resize(zero);
  text = WideToUtf8(value);
  return TRegistryRead::Ok;
}

}  // namespace platform
