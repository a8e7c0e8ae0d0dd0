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
inline constexpr ElementType kUint8{"uint8_t", 1, ElementKind::Unsigned, "B"};
inline constexpr ElementType kConstUnsignedChar{"const unsigned char", 1, ElementKind::Unsigned, "B"};

struct FormatCheck {
    bool ok = true;
    std::string message;  // the ValueError text when !ok
};

// Accepts exactly one element of `expected` (possibly wrapped in structs and
// preceded by a byte-order prefix).  A null format means unsigned bytes, as
// the buffer protocol defines.
FormatCheck check_format(const char* format, const ElementType& expected);

}  // namespace quiltmap::binding
