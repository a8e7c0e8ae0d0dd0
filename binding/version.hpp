// The interpreter's version string, packed into one comparable number.
#pragma once

#include <cstdint>

namespace quiltmap::binding {

// "3.9.18 (main, ...)" -> 0x03091200: up to four dot-separated runs of
// digits, one byte each, the first in the top byte.  Reading stops at the
// first character that is neither a digit nor a dot between components.
std::uint32_t parse_version(const char* version);

inline int version_major(std::uint32_t packed) { return static_cast<int>(packed >> 24); }
inline int version_minor(std::uint32_t packed) { return static_cast<int>((packed >> 16) & 0xff); }

}  // namespace quiltmap::binding
