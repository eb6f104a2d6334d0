#include "platform/Path.h"

namespace platform {
const TPathSyntax& NativePathSyntax() noexcept { return WindowsPathSyntax; }
}  // namespace platform
