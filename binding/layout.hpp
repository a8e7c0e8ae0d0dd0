// Layout rules for an exported buffer: every array this module reads or
// writes must be C-contiguous and directly addressable.
//
// Plain C++ over the fields of a Py_buffer, so that the rules can be tested
// with hand-made strides that no well-behaved exporter would produce.
#pragma once

#include <cstdint>
#include <string>

namespace quiltmap::binding {

struct BufferLayout {
    int ndim;
    std::int64_t itemsize;
    std::int64_t length;               // bytes in the buffer
    const std::int64_t* shape;
    const std::int64_t* strides;       // null: the exporter gives none
    const std::int64_t* suboffsets;    // null: the exporter gives none
};

struct LayoutCheck {
    bool ok = true;
    std::string message;  // the ValueError text when !ok
};

// Axes of extent 0 or 1 may carry any stride; an empty buffer passes.
LayoutCheck check_layout(const BufferLayout& layout);

}  // namespace quiltmap::binding
