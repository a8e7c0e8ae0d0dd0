// Reading a struct-module format string one element at a time.
//
// An array parameter holds a single element type, so the whole format must
// describe exactly one element of that type.  Structs are flattened into
// their fields: a NumPy structured dtype with a single float32 field at
// offset 0 is as good as float32, while padding in front of the field, a
// second field or a repeat count above one is refused.
#include "binding/format.hpp"

#include <cstdio>
#include <cstring>

namespace quiltmap::binding {
namespace {

struct TypeCode {
    char code;
    ElementKind kind;
    std::size_t native_size;
    std::size_t standard_size;  // 0: the struct module defines none
    const char* description;
};

// Native sizes are this platform's C types; standard sizes are the struct
// module's fixed ones ("=", "<").
constexpr TypeCode kTypeCodes[] = {
    {'?', ElementKind::Unsigned, sizeof(bool), 1, "'bool'"},
    {'B', ElementKind::Unsigned, sizeof(unsigned char), 1, "'unsigned char'"},
    {'H', ElementKind::Unsigned, sizeof(unsigned short), 2, "'unsigned short'"},
    {'I', ElementKind::Unsigned, sizeof(unsigned int), 4, "'unsigned int'"},
    {'L', ElementKind::Unsigned, sizeof(unsigned long), 4, "'unsigned long'"},
    {'Q', ElementKind::Unsigned, sizeof(unsigned long long), 8, "'unsigned long long'"},
    {'b', ElementKind::Signed, sizeof(signed char), 1, "'signed char'"},
    {'h', ElementKind::Signed, sizeof(short), 2, "'short'"},
    {'i', ElementKind::Signed, sizeof(int), 4, "'int'"},
    {'l', ElementKind::Signed, sizeof(long), 4, "'long'"},
    {'q', ElementKind::Signed, sizeof(long long), 8, "'long long'"},
    {'c', ElementKind::Character, sizeof(char), 1, "'char'"},
    {'s', ElementKind::Signed, sizeof(char), 1, "a string"},
    {'p', ElementKind::Signed, sizeof(char), 1, "a string"},
    {'f', ElementKind::Real, sizeof(float), 4, "'float'"},
    {'d', ElementKind::Real, sizeof(double), 8, "'double'"},
    {'g', ElementKind::Real, sizeof(long double), 0, "'long double'"},
    {'O', ElementKind::Object, sizeof(void*), sizeof(void*), "Python object"},
};

constexpr TypeCode kComplexCodes[] = {
    {'f', ElementKind::Complex, 2 * sizeof(float), 8, "'complex float'"},
    {'d', ElementKind::Complex, 2 * sizeof(double), 16, "'complex double'"},
    {'g', ElementKind::Complex, 2 * sizeof(long double), 0, "'complex long double'"},
};

template <std::size_t N>
const TypeCode* find_code(const TypeCode (&table)[N], char c) {
    for (const TypeCode& t : table) {
        if (t.code == c) return &t;
    }
    return nullptr;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Structs nest by recursion, one level of read_sequence and read_struct per
// "T{"; NumPy would export far deeper nesting than any real dtype has, and
// the stack of a small thread must not run out on it.
constexpr int kMaxStructDepth = 64;

// Repeat counts and dimensions saturate here: anything larger cannot match a
// single element anyway, and offsets stay far from overflow.
constexpr std::size_t kCountLimit = std::size_t{1} << 40;

template <typename... Args>
std::string format_message(const char* pattern, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

class FormatReader {
public:
    FormatReader(const char* format, const ElementType& expected)
        : cursor_(format), expected_(expected) {}

    FormatCheck run() {
        if (read_sequence(/*in_struct=*/false, /*effective=*/true) && !matched_) {
            fail(format_message("Buffer dtype mismatch, expected '%s' but got end", expected_.name));
        }
        return result_;
    }

private:
    // Reads fields up to the end of the string, or past the '}' that closes
    // the current struct.  With `effective` false (a struct repeated zero
    // times) the fields are read for their syntax only.
    bool read_sequence(bool in_struct, bool effective) {
        for (;;) {
            const char c = *cursor_;
            switch (c) {
                case '\0':  // also closes any struct left open
                    return true;
                case ' ': case '\r': case '\n':
                    ++cursor_;
                    break;
                case ':':  // a field name, :name:
                    ++cursor_;
                    while (*cursor_ != '\0' && *cursor_ != ':') ++cursor_;
                    if (*cursor_ == ':') ++cursor_;
                    break;
                case '@': case '^':
                    native_ = true;
                    ++cursor_;
                    break;
                case '=': case '<':
                    native_ = false;
                    ++cursor_;
                    break;
                case '>': case '!':
                    return fail("Big-endian buffer not supported on little-endian compiler");
                case '}':
                    if (!in_struct) return fail_unknown(c);
                    ++cursor_;
                    return true;
                case 'T':
                    if (!read_struct(effective)) return false;
                    break;
                case '(':
                    if (!read_subarray()) return false;
                    break;
                case 'x': {
                    ++cursor_;
                    const std::size_t pad = take_count();
                    if (effective) advance(pad, 1);
                    break;
                }
                case 'Z': {
                    ++cursor_;
                    const TypeCode* code = find_code(kComplexCodes, *cursor_);
                    if (code == nullptr) {
                        return fail(format_message("Unexpected format string character: '%c'", 'Z'));
                    }
                    ++cursor_;
                    if (!read_element(*code, effective)) return false;
                    break;
                }
                default:
                    if (is_digit(c)) {
                        pending_count_ = read_number();
                        break;
                    }
                    if (const TypeCode* code = find_code(kTypeCodes, c)) {
                        ++cursor_;
                        if (!read_element(*code, effective)) return false;
                        break;
                    }
                    return fail_unknown(c);
            }
        }
    }

    bool read_struct(bool effective) {
        ++cursor_;  // 'T'
        if (*cursor_ != '{') return fail("Buffer acquisition: Expected '{' after 'T'");
        ++cursor_;
        if (depth_ == kMaxStructDepth) {
            return fail(format_message("Buffer dtype nests structs more than %d deep", kMaxStructDepth));
        }
        ++depth_;
        const bool read = read_struct_body(effective);
        --depth_;
        return read;
    }

    bool read_struct_body(bool effective) {
        const std::size_t repeats = take_count();
        const char* body = cursor_;
        if (repeats == 0 || !effective) return read_sequence(/*in_struct=*/true, /*effective=*/false);
        for (std::size_t i = 0; i < repeats; ++i) {
            cursor_ = body;
            const bool matched_before = matched_;
            const std::size_t offset_before = offset_;
            if (!read_sequence(/*in_struct=*/true, /*effective=*/true)) return false;
            // A body of padding alone repeats identically: account for the
            // remaining copies at once instead of reading them.
            if (matched_ == matched_before) {
                advance(offset_ - offset_before, repeats - 1 - i);
                break;
            }
        }
        return true;
    }

    // "(d0,d1,...)": a sub-array shape.  The single elements this module
    // expects have no shape of their own, so any listed dimension is refused
    // once the shape has been read.
    bool read_subarray() {
        if (pending_count_ != 1) return fail("Cannot handle repeated arrays in format string");
        ++cursor_;  // '('
        int dimensions = 0;
        while (*cursor_ != ')') {
            while (*cursor_ == ' ') ++cursor_;
            if (*cursor_ == '\0') return fail("Unexpected end of format string, expected ')'");
            if (!is_digit(*cursor_)) return fail_unknown(*cursor_);
            read_number();
            ++dimensions;
            while (*cursor_ == ' ') ++cursor_;
            if (*cursor_ == ',') {
                ++cursor_;
            } else if (*cursor_ == '\0') {
                return fail("Unexpected end of format string, expected ')'");
            } else if (*cursor_ != ')') {
                return fail(format_message("Expected a comma in format string, got '%c'", *cursor_));
            }
        }
        ++cursor_;  // ')'
        if (dimensions != 0) {
            return fail(format_message("Expected %d dimension(s), got %d", 0, dimensions));
        }
        return true;
    }

    bool read_element(const TypeCode& code, bool effective) {
        const std::size_t copies = take_count();
        const std::size_t size = native_ ? code.native_size : code.standard_size;
        if (size == 0) {
            return fail("Python does not define a standard format string size for long double ('g')..");
        }
        if (!effective) return true;
        // Past the second copy every outcome is already decided.
        for (std::size_t i = 0; i < copies && i < 2; ++i) {
            if (matched_) {
                return fail(format_message("Buffer dtype mismatch, expected end but got %s", code.description));
            }
            if (!element_passes(code.kind, size)) {
                return fail(format_message("Buffer dtype mismatch, expected '%s' but got %s", expected_.name,
                                           code.description));
            }
            if (offset_ != 0) {
                return fail(format_message("Buffer dtype mismatch; next field is at offset %zu but %zu expected",
                                           offset_, std::size_t{0}));
            }
            matched_ = true;
            advance(size, 1);
        }
        return true;
    }

    bool element_passes(ElementKind kind, std::size_t size) const {
        if (size != expected_.size) return false;
        return kind == expected_.kind || kind == ElementKind::Character ||
               expected_.kind == ElementKind::Character;
    }

    std::size_t read_number() {
        std::size_t value = 0;
        while (is_digit(*cursor_)) {
            if (value < kCountLimit) value = value * 10 + static_cast<std::size_t>(*cursor_ - '0');
            ++cursor_;
        }
        return value < kCountLimit ? value : kCountLimit;
    }

    // Offsets only need to tell zero from non-zero and to be printed, so
    // they saturate instead of wrapping back to zero.
    void advance(std::size_t bytes, std::size_t times) {
        if (bytes == 0 || times == 0) return;
        if (bytes >= kCountLimit || times >= kCountLimit / bytes ||
            offset_ >= kCountLimit - bytes * times) {
            offset_ = kCountLimit;
        } else {
            offset_ += bytes * times;
        }
    }

    std::size_t take_count() {
        const std::size_t count = pending_count_;
        pending_count_ = 1;
        return count;
    }

    bool fail_unknown(char c) {
        return fail(format_message("Does not understand character buffer dtype format string ('%c')", c));
    }

    bool fail(std::string message) {
        result_.ok = false;
        result_.message = std::move(message);
        return false;
    }

    const char* cursor_;
    const ElementType& expected_;
    bool native_ = true;
    bool matched_ = false;
    int depth_ = 0;
    std::size_t pending_count_ = 1;
    std::size_t offset_ = 0;
    FormatCheck result_;
};

}  // namespace

FormatCheck check_format(const char* format, const ElementType& expected) {
    return FormatReader(format != nullptr ? format : "B", expected).run();
}

}  // namespace quiltmap::binding
