#pragma once
// The list of file names that a second copy of the program hands to the copy already
// running: UTF-16 code units, little-endian, each name ended by a 0 and the list by one
// more 0, as the shell lists dropped files. The receiver trusts nothing of it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The longest file name the system accepts, in UTF-16 code units.
constexpr std::size_t MaxFileListNameChars = 32767;
// The largest list, terminators included, in code units (2 MiB).
constexpr std::size_t MaxFileListChars = std::size_t{1} << 20;

// The block for names; empty when there is no name, a name is empty, holds a 0 or is
// longer than MaxFileListNameChars, or the block would exceed MaxFileListChars.
std::vector<std::uint8_t> EncodeFileList(const std::vector<std::u16string>& names);

// The names of a block, in order; nothing unless the block is a whole number of code
// units, at most MaxFileListChars long, and holds one or more names of 1 to
// MaxFileListNameChars units, each ended by a 0, followed by the list's final 0 and
// nothing after it.
std::optional<std::vector<std::u16string>> DecodeFileList(std::span<const std::uint8_t> block);
