// Element types of the array parameters, and the check of a buffer's struct
// format string (PEP 3118) against the one element a parameter expects.
//
// Plain C++: the interpreter-facing code turns a failed check into a
// ValueError carrying `message`.
#pragma once

#include <cstddef>
#include <string>

namespace quiltmap::binding {

enum class ElementKind { Signed, Unsigned, Real, Complex, Character, Object };

// What a parameter accepts; `name` is what mismatch messages quote and
// `format` is how this module exports such elements itself.
struct ElementType {
    const char* name;
    std::size_t size;
    ElementKind kind;
    const char* format;
};

inline constexpr ElementType kConstFloat{"const float", 4, ElementKind::Real, "f"};
inline constexpr ElementType kFloat{"float", 4, ElementKind::Real, "f"};
inline constexpr ElementType kConstDouble{"const double", 8, ElementKind::Real, "d"};
// The ray caster's distances.
inline constexpr ElementType kDouble{"double", 8, ElementKind::Real, "d"};
inline constexpr ElementType kUint8{"uint8_t", 1, ElementKind::Unsigned, "B"};
inline constexpr ElementType kConstUnsignedChar{"const unsigned char", 1, ElementKind::Unsigned, "B"};
// The pipeline module's codes, counts and view indices.
inline constexpr ElementType kConstUint64{"const uint64_t", 8, ElementKind::Unsigned, "Q"};
inline constexpr ElementType kUint64{"uint64_t", 8, ElementKind::Unsigned, "Q"};
inline constexpr ElementType kConstInt32{"const int32_t", 4, ElementKind::Signed, "i"};
inline constexpr ElementType kInt32{"int32_t", 4, ElementKind::Signed, "i"};
inline constexpr ElementType kConstInt8{"const int8_t", 1, ElementKind::Signed, "b"};
inline constexpr ElementType kInt8{"int8_t", 1, ElementKind::Signed, "b"};

struct FormatCheck {
    bool ok = true;
    std::string message;  // the ValueError text when !ok
};

// Accepts exactly one element of `expected` (possibly wrapped in structs and
// preceded by a byte-order prefix).  A null format means unsigned bytes, as
// the buffer protocol defines.
FormatCheck check_format(const char* format, const ElementType& expected);

}  // namespace quiltmap::binding
