#pragma once
// The nearest entry of a colour table (colours 0x00BBGGRR, squared distance, the first
// entry on a tie), remembered per colour: pictures repeat their colours.
#include <cstdint>
#include <unordered_map>

class TNearestColor {
public:
  // The table must outlive the object.
  TNearestColor(const std::uint32_t* table, int count) noexcept : FTable(table), FCount(count) {}

  int Find(std::uint32_t c) {
    const auto it = FCache.find(c);
    if (it != FCache.end()) return it->second;
    int best = 0;
    long bestDistance = -1;
    for (int i = 0; i < FCount; ++i) {
      const long dr = static_cast<long>(c & 0xFF) - static_cast<long>(FTable[i] & 0xFF);
      const long dg = static_cast<long>(c >> 8 & 0xFF) - static_cast<long>(FTable[i] >> 8 & 0xFF);
      const long db = static_cast<long>(c >> 16 & 0xFF) - static_cast<long>(FTable[i] >> 16 & 0xFF);
      const long d = dr * dr + dg * dg + db * db;
      if (bestDistance < 0 || d < bestDistance) {
        best = i;
        bestDistance = d;
      }
    }
    FCache.emplace(c, best);
    return best;
  }

private:
  const std::uint32_t* FTable;
  int FCount;
  std::unordered_map<std::uint32_t, int> FCache;
};
