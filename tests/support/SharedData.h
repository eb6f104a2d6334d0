#pragma once
// The team's shared test data beside the checkout.
#include <filesystem>

// The BMP Suite folder (with g/, q/, b/): from TAVEX_SHARED_DIR, the folder beside the
// checkout, or one further up from a worktree; empty when there is none (a bare clone).
std::filesystem::path BmpSuiteDir();
