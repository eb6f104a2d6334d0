#pragma once
// Injected allocation failures for the test programs. While armed, every allocation that
// asks the seam (GetBlock, file mappings, global blocks, and operator new, which the test
// programs replace) is counted from 0, and the one numbered Fail fails as an exhausted
// heap would; the others pass.
namespace allocfault {

// Counts from 0 again; fail < 0 only counts.
void Arm(long fail) noexcept;
void Disarm() noexcept;
// Allocations asked for since Arm.
long Seen() noexcept;
// Whether the armed failure has happened.
bool Failed() noexcept;

// Armed for a scope.
class TArmed {
public:
  explicit TArmed(long fail) noexcept { Arm(fail); }
  ~TArmed() { Disarm(); }
  TArmed(const TArmed&) = delete;
  TArmed& operator=(const TArmed&) = delete;
};

}  // namespace allocfault
