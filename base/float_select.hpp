// Branch-free choice between two floats for per-bin loops. Written as a bit mask so that both
// operands are computed unconditionally; the compiler then vectorises loops in which one operand
// is arithmetic (with trapping math it would otherwise keep a branch around that arithmetic).
#pragma once

#include <bit>
#include <cstdint>

namespace orvo {

// cond ? a : b, bit for bit.
inline float SelectFloat(bool cond, float a, float b) {
  const uint32_t mask = 0u - static_cast<uint32_t>(cond);
  return std::bit_cast<float>((std::bit_cast<uint32_t>(a) & mask) |
                              (std::bit_cast<uint32_t>(b) & ~mask));
}

}  // namespace orvo
