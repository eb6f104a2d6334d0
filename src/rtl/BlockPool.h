#pragma once
// Large blocks given back are kept for the next image of about the same size. A batch
// converts image after image of one size, and touching fresh memory costs more than
// encoding it: every new page faults in and is cleared by the OS. Blocks handed out
// again are cleared here when the caller asks for zeroed memory, as fresh ones are.
//
// A batch's encoders take and give back blocks on several threads at once, and a block
// often goes back on another thread than the one that took it, so the pool is one list
// for all threads, without a lock: a fixed row of slots, each claimed by one atomic
// exchange of its state (empty -> busy -> full -> busy -> empty). The byte and block
// counts are kept beside the slots and may lag a moment behind them while threads race.
#include <atomic>
#include <cstddef>
#include <cstdint>

struct TPooledBlock {
  std::uint8_t* Data = nullptr;
  std::size_t Capacity = 0;
  void* Handle = nullptr;  // whatever else the owner needs to free the block
};

class TBlockPool {
public:
  using TFreeBlock = void (*)(const TPooledBlock& block) noexcept;

  // Requests from this size on get room to spare (CapacityFor).
  static constexpr std::size_t LargeSize = 256 * 1024;
  // The step in which capacities grow; also the least address space a view takes on Windows.
  static constexpr std::size_t Granule = 64 * 1024;

  // The most blocks a pool keeps, whatever it is asked for.
  static constexpr std::size_t MaxKeptBlocks = 48;

  // freeBlock gives a block back to where it came from. Blocks under minSize are freed at
  // once; at most maxBlocks blocks of keepBytes together are kept.
  TBlockPool(TFreeBlock freeBlock, std::size_t minSize, std::size_t keepBytes, std::size_t maxBlocks) noexcept
      : FFreeBlock(freeBlock),
        FMinSize(minSize),
        FKeepBytes(keepBytes),
        FMaxBlocks(maxBlocks < MaxKeptBlocks ? maxBlocks : MaxKeptBlocks) {}
  ~TBlockPool() { Clear(); }
  TBlockPool(const TBlockPool&) = delete;
  TBlockPool& operator=(const TBlockPool&) = delete;

  // The smallest kept block of at least size bytes and at most about twice that (a huge
  // block stays for a huge image); a block with Data null when none fits.
  TPooledBlock Take(std::size_t size) noexcept;
  // Keeps the block for a later Take, or frees it when it is under the pool's least size;
  // frees the blocks kept longest beyond the limits.
  void Put(const TPooledBlock& block) noexcept;
  // Frees every kept block.
  void Clear() noexcept;
  // Frees the blocks kept longest until at most keepBytes stay.
  void Trim(std::size_t keepBytes) noexcept;

  std::size_t KeptBlocks() const noexcept;
  std::size_t KeptBytes() const noexcept;

  // What to allocate for a request of size bytes: a large block gets room for a slightly
  // larger image of the next file (pages never touched cost nothing), in whole granules.
  static std::size_t CapacityFor(std::size_t size) noexcept;
  std::size_t MinSize() const noexcept { return FMinSize; }

private:
  enum : std::uint32_t { SlotEmpty, SlotBusy, SlotFull };
  // Data and Handle belong to whoever moved State to busy; Capacity and Age are read by
  // the others while they look for a block, so they are atomic too.
  struct TSlot {
    std::atomic<std::uint32_t> State{SlotEmpty};
    std::atomic<std::size_t> Capacity{0};
    std::atomic<std::uint64_t> Age{0};
    std::uint8_t* Data = nullptr;
    void* Handle = nullptr;
  };
  // Room for the blocks kept plus those that threads are adding at the same moment.
  static constexpr std::size_t SlotCount = MaxKeptBlocks + 16;

  // Claims the full slot that pick prefers (pick(candidate, best) says whether the
  // candidate is better) and empties it; a block with Data null when none qualifies.
  template <typename TPick>
  TPooledBlock Claim(TPick pick) noexcept;
  TPooledBlock ClaimOldest() noexcept;
  void FreeBeyond(std::size_t keepBytes, std::size_t maxBlocks) noexcept;

  TFreeBlock FFreeBlock;
  std::size_t FMinSize;
  std::size_t FKeepBytes;
  std::size_t FMaxBlocks;
  TSlot FSlots[SlotCount];
  std::atomic<std::size_t> FKeptBlocks{0};
  std::atomic<std::size_t> FKeptBytes{0};
  std::atomic<std::uint64_t> FNextAge{0};
};

// The allocation seam. Every block that GetBlock, the OS's file mappings and global blocks
// make asks the hook first, and so does operator new in the test programs; a hook that
// says no makes that allocation fail as an exhausted heap would. Tests and fuzz targets
// install one; the program never does.
using TAllocationHook = bool (*)(std::size_t size) noexcept;
// Returns the hook it replaces; null lets every allocation through.
TAllocationHook SetAllocationHook(TAllocationHook hook) noexcept;
bool AllocationAllowed(std::size_t size) noexcept;

// How many blocks of one kind a process-wide pool keeps: enough for every image that a
// batch holds at once (one per core, and one more) to find its blocks again.
std::size_t PooledBlocksPerKind() noexcept;

// Heap blocks for pixels and streams; those of 64 KiB and more are recycled through a
// process-wide pool (the C heap maps blocks of that size afresh each time).
// GetBlock raises EOutOfMemory "Out of memory" when the heap refuses. A 0-byte request
// still gets an address of its own.
std::uint8_t* GetBlock(std::size_t size, bool zeroFill);
void FreeBlock(void* data) noexcept;
// The usable size of a block of GetBlock (at least the size asked for).
std::size_t BlockCapacity(const void* data) noexcept;
// The pool of GetBlock's large blocks (shutdown clears it; tests look into it).
TBlockPool& HeapBlockPool() noexcept;
