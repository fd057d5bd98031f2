// Text scrambling for credentials in the settings file: the bytes are XOR-ed
// with a keystream and written in a 32-symbol alphabet, 5 bits per symbol. It
// keeps passwords from being read at a glance; it is not encryption.
#pragma once

#include <cstddef>
#include <string>

namespace vlx {

// Longest plain text a scrambled value holds (999 symbols and the NUL fit a
// 1000-byte record).
inline constexpr size_t kScrambleMaxPlain = 624;
inline constexpr size_t kScrambleSymbolCap = 1000;

// Scrambles at most kScrambleMaxPlain bytes of plain (longer text is cut).
std::string Scramble(const std::string& plain);
// Inverse of Scramble. Stops at the end of the symbols, at the first
// character outside the alphabet, or when capacity-1 bytes are produced.
std::string Unscramble(const char* symbols, size_t capacity = 1024);

}  // namespace vlx
