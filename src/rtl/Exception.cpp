#include "rtl/Exception.h"

std::string ErrorBoxText(const std::string& message) {
  // In UTF-8 the last byte of a multi-byte character is 0x80..0xBF, and every such
  // character's code is above '.', so the byte test is the character test.
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
    return message + ".";
  return message;
}
