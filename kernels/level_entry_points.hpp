// The production kernels that the translation units of one level define, in
// the namespace of the level being compiled (simd.hpp), each with its twin's
// signature.
#pragma once

#include "kernels/levels.hpp"
#include "kernels/simd.hpp"

QUILTMAP_LEVEL_BEGIN

#define QUILTMAP_DECLARE_KERNEL(name) decltype(::quiltmap::kernels::name##_reference) name;
QUILTMAP_KERNELS(QUILTMAP_DECLARE_KERNEL)
#undef QUILTMAP_DECLARE_KERNEL

extern const LevelKernels kernels;

QUILTMAP_LEVEL_END
