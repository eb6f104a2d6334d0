#include "platform/Path.h"

namespace platform {
const TPathSyntax& NativePathSyntax() noexcept { return PosixPathSyntax; }
}  // namespace platform
