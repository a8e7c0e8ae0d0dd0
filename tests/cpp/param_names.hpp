// Names for parameterised cases.  Without a name generator GoogleTest prints
// a struct parameter as its raw bytes, pointers included, so ctest's list
// changes from build to build and says nothing about the case that failed.
#pragma once

#include <string>
#include <string_view>

namespace quiltmap::test {

inline bool is_name_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Words as a test name: every run of other characters becomes one '_', with
// none at either end.  GoogleTest accepts only [A-Za-z0-9_] and refuses a
// name given twice, so a collision shows when the suite starts.
inline std::string words_as_name(std::string_view words) {
    std::string name;
    bool gap = false;
    for (const char c : words) {
        if (!is_name_character(c)) {
            gap = !name.empty();
            continue;
        }
        if (gap) name += '_';
        gap = false;
        name += c;
    }
    return name;
}

}  // namespace quiltmap::test
