// The buffer format rules, fed the strings that NumPy, memoryview and
// array.array really produce, and the malformed ones they never do.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "binding/format.hpp"
#include "tests/cpp/param_names.hpp"

namespace quiltmap::binding {
namespace {

struct FormatCase {
    const char* format;
    const ElementType* expected;
    const char* message;  // empty: accepted
};

class FormatRules : public ::testing::TestWithParam<FormatCase> {};

// Format strings are mostly punctuation, which a test name cannot hold: each
// mark is spelled out, so that "<f" and "=f" stay apart.
std::string spelled_mark(char c) {
    switch (c) {
        case ' ': return "space";
        case '\r': return "cr";
        case '\n': return "lf";
        case '\t': return "tab";
        case '<': return "lt";
        case '>': return "gt";
        case '=': return "eq";
        case '@': return "at";
        case '^': return "caret";
        case '!': return "bang";
        case '{': return "lbrace";
        case '}': return "rbrace";
        case ':': return "colon";
        case '(': return "lparen";
        case ')': return "rparen";
        case ',': return "comma";
        case '?': return "question";
        default: {
            char code[8];
            std::snprintf(code, sizeof code, "x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            return code;
        }
    }
}

std::string format_as_name(const char* format) {
    if (format == nullptr) return "null";
    if (*format == '\0') return "empty";
    std::string name;
    bool in_word = false;
    for (const char* p = format; *p != '\0'; ++p) {
        const bool letter = test::is_name_character(*p);
        if (!name.empty() && !(letter && in_word)) name += '_';
        name += letter ? std::string(1, *p) : spelled_mark(*p);
        in_word = letter;
    }
    return name;
}

// The same format may be tried against several element types.
std::string format_case_name(const ::testing::TestParamInfo<FormatCase>& info) {
    return format_as_name(info.param.format) + "_as_" + test::words_as_name(info.param.expected->name);
}

TEST_P(FormatRules, AcceptOrExplain) {
    const FormatCase& c = GetParam();
    const FormatCheck check = check_format(c.format, *c.expected);
    EXPECT_EQ(check.ok, c.message[0] == '\0') << "format \"" << c.format << "\"";
    EXPECT_EQ(check.message, c.message) << "format \"" << c.format << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, FormatRules,
    ::testing::Values(FormatCase{"f", &kConstFloat, ""}, FormatCase{"<f", &kFloat, ""},
                      FormatCase{"=f", &kConstFloat, ""}, FormatCase{"@f", &kConstFloat, ""},
                      FormatCase{"^f", &kConstFloat, ""}, FormatCase{" \r\nf", &kConstFloat, ""},
                      FormatCase{"1f", &kConstFloat, ""}, FormatCase{"d", &kConstDouble, ""},
                      FormatCase{"<d", &kConstDouble, ""}, FormatCase{"B", &kUint8, ""},
                      FormatCase{"?", &kUint8, ""}, FormatCase{"c", &kConstUnsignedChar, ""},
                      FormatCase{nullptr, &kUint8, ""},  // no format: unsigned bytes
                      FormatCase{"T{<f:a:}", &kConstFloat, ""}, FormatCase{"T{T{f}}", &kConstFloat, ""},
                      FormatCase{"1T{f:x:}", &kConstFloat, ""}, FormatCase{"fx", &kConstFloat, ""},
                      FormatCase{"0T{d}f", &kConstFloat, ""}, FormatCase{"()f", &kConstFloat, ""}),
    format_case_name);

INSTANTIATE_TEST_SUITE_P(
    Refused, FormatRules,
    ::testing::Values(
        FormatCase{"d", &kConstFloat, "Buffer dtype mismatch, expected 'const float' but got 'double'"},
        FormatCase{"b", &kConstUnsignedChar,
                   "Buffer dtype mismatch, expected 'const unsigned char' but got 'signed char'"},
        FormatCase{"i", &kConstFloat, "Buffer dtype mismatch, expected 'const float' but got 'int'"},
        FormatCase{"l", &kConstDouble, "Buffer dtype mismatch, expected 'const double' but got 'long'"},
        FormatCase{"g", &kConstDouble, "Buffer dtype mismatch, expected 'const double' but got 'long double'"},
        FormatCase{"Zf", &kConstDouble, "Buffer dtype mismatch, expected 'const double' but got 'complex float'"},
        FormatCase{"3s", &kUint8, "Buffer dtype mismatch, expected 'uint8_t' but got a string"},
        FormatCase{"O", &kConstDouble, "Buffer dtype mismatch, expected 'const double' but got Python object"},
        FormatCase{"c", &kConstFloat, "Buffer dtype mismatch, expected 'const float' but got 'char'"},
        FormatCase{"", &kConstFloat, "Buffer dtype mismatch, expected 'const float' but got end"},
        FormatCase{"<", &kConstFloat, "Buffer dtype mismatch, expected 'const float' but got end"},
        FormatCase{"T{}", &kConstFloat, "Buffer dtype mismatch, expected 'const float' but got end"},
        FormatCase{"0f", &kConstFloat, "Buffer dtype mismatch, expected 'const float' but got end"},
        FormatCase{"2f", &kConstFloat, "Buffer dtype mismatch, expected end but got 'float'"},
        FormatCase{"fd", &kConstFloat, "Buffer dtype mismatch, expected end but got 'double'"},
        FormatCase{"T{f:a:f:b:}", &kConstFloat, "Buffer dtype mismatch, expected end but got 'float'"},
        FormatCase{"2T{f}", &kConstFloat, "Buffer dtype mismatch, expected end but got 'float'"},
        FormatCase{"T{4x<f:a:}", &kConstFloat, "Buffer dtype mismatch; next field is at offset 4 but 0 expected"},
        FormatCase{"3T{2x}f", &kConstFloat, "Buffer dtype mismatch; next field is at offset 6 but 0 expected"},
        FormatCase{">f", &kConstFloat, "Big-endian buffer not supported on little-endian compiler"},
        FormatCase{"!d", &kConstDouble, "Big-endian buffer not supported on little-endian compiler"},
        FormatCase{"e", &kConstFloat, "Does not understand character buffer dtype format string ('e')"},
        FormatCase{"P", &kConstDouble, "Does not understand character buffer dtype format string ('P')"},
        FormatCase{"\tf", &kConstFloat, "Does not understand character buffer dtype format string ('\t')"},
        FormatCase{"4w", &kConstFloat, "Does not understand character buffer dtype format string ('w')"},
        FormatCase{"Zi", &kConstFloat, "Unexpected format string character: 'Z'"},
        FormatCase{"=g", &kConstDouble,
                   "Python does not define a standard format string size for long double ('g').."},
        FormatCase{"Tf", &kConstFloat, "Buffer acquisition: Expected '{' after 'T'"},
        FormatCase{"2(3)f", &kConstFloat, "Cannot handle repeated arrays in format string"},
        FormatCase{"(2,3)f", &kConstFloat, "Expected 0 dimension(s), got 2"},
        FormatCase{"(2 3)f", &kConstFloat, "Expected a comma in format string, got '3'"},
        FormatCase{"(2", &kConstFloat, "Unexpected end of format string, expected ')'"}),
    format_case_name);

// Standard sizes differ from native ones for 'l': 4 bytes, so "=l" is not
// mistaken for an 8-byte element.
TEST(FormatSizes, StandardLongIsFourBytes) {
    EXPECT_EQ(check_format("=l", kConstDouble).message,
              "Buffer dtype mismatch, expected 'const double' but got 'long'");
    EXPECT_EQ(check_format("=L", kConstFloat).message,
              "Buffer dtype mismatch, expected 'const float' but got 'unsigned long'");
    EXPECT_TRUE(check_format("=i", kConstFloat).message.find("'int'") != std::string::npos);
}

// Repeat counts far beyond any buffer must neither loop for ages nor wrap
// offsets back to zero.
TEST(FormatSizes, HugeCountsSaturate) {
    EXPECT_EQ(check_format("99999999999999999999x f", kConstFloat).message,
              "Buffer dtype mismatch; next field is at offset 1099511627776 but 0 expected");
    EXPECT_EQ(check_format("1099511627776T{1099511627776x}f", kConstFloat).message,
              "Buffer dtype mismatch; next field is at offset 1099511627776 but 0 expected");
    EXPECT_EQ(check_format("4000000000f", kConstFloat).message,
              "Buffer dtype mismatch, expected end but got 'float'");
}

// Structs nest by recursion: deep nesting is refused past a fixed depth
// instead of running the stack out, however deep the string goes.
std::string nested_struct(int depth) {
    std::string format;
    for (int i = 0; i < depth; ++i) format += "T{";
    format += "<f:a:";
    for (int i = 0; i < depth; ++i) format += "}";
    return format;
}

TEST(FormatNesting, UpToTheCapIsRead) {
    EXPECT_TRUE(check_format(nested_struct(64).c_str(), kConstFloat).ok);
}

TEST(FormatNesting, DeeperIsRefused) {
    for (int depth : {65, 100000}) {
        const FormatCheck check = check_format(nested_struct(depth).c_str(), kConstFloat);
        EXPECT_FALSE(check.ok) << depth;
        EXPECT_EQ(check.message, "Buffer dtype nests structs more than 64 deep") << depth;
    }
}

}  // namespace
}  // namespace quiltmap::binding
