// libFuzzer target for the buffer format parser: whatever bytes a buffer
// exporter puts in its format string, the check must end, quickly, without
// reading past the string's end, and with a message exactly when it refuses.
//
// The first byte picks the element type the format is checked against; the
// rest, up to the first NUL, is the format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "binding/format.hpp"

namespace {

using quiltmap::binding::ElementType;

const ElementType* const kElements[] = {
    &quiltmap::binding::kConstFloat, &quiltmap::binding::kFloat, &quiltmap::binding::kConstDouble,
    &quiltmap::binding::kUint8, &quiltmap::binding::kConstUnsignedChar,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ElementType& expected = *kElements[data[0] % (sizeof kElements / sizeof kElements[0])];
    // An exact-size heap copy, so that AddressSanitizer sees any read past
    // the terminating NUL.
    const std::string format(reinterpret_cast<const char*>(data + 1), size - 1);
    char* text = static_cast<char*>(std::malloc(format.size() + 1));
    format.copy(text, format.size());
    text[format.size()] = '\0';
    const quiltmap::binding::FormatCheck check = quiltmap::binding::check_format(text, expected);
    std::free(text);
    if (check.ok != check.message.empty()) std::abort();
    return 0;
}
