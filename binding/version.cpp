#include "binding/version.hpp"

namespace quiltmap::binding {

std::uint32_t parse_version(const char* version) {
    std::uint32_t packed = 0;
    const char* p = version;
    for (int component = 0; component < 4; ++component) {
        std::uint32_t value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(*p - '0');
            ++p;
        }
        packed |= (value & 0xffu) << (8 * (3 - component));
        if (*p != '.') break;
        ++p;
    }
    return packed;
}

}  // namespace quiltmap::binding
