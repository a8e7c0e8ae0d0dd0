// Every production kernel, listed once.
//
// A kernel is four things: a header that declares its scalar twin,
// `<name>_reference`, which states the kernel's contract and whose signature
// the production kernel shares; the twin's source; a fast source compiled
// once per level (`<name>_fast.cpp`, defining `<name>` in the level's
// namespace, simd.hpp); and its line below.  The level table (LevelKernels),
// each level's declarations and table, and the entry point `kernels::<name>`
// that runs the chosen level are all made from this list (levels.hpp).
#pragma once

#include "kernels/bilateral.hpp"
#include "kernels/census.hpp"
#include "kernels/census_cost.hpp"
#include "kernels/census_whole.hpp"
#include "kernels/consistency_mask.hpp"
#include "kernels/fill_holes.hpp"
#include "kernels/left_right.hpp"
#include "kernels/match_cost.hpp"
#include "kernels/raycast.hpp"
#include "kernels/sample_view.hpp"
#include "kernels/select_heights.hpp"
#include "kernels/sgm.hpp"
#include "kernels/whole_windows.hpp"

#define QUILTMAP_KERNELS(X) \
    X(sgm_aggregate)        \
    X(sgm_aggregate_shared) \
    X(bilateral_filter)     \
    X(sample_view)          \
    X(range_weights)        \
    X(census)               \
    X(whole_windows)        \
    X(match_cost)           \
    X(census_whole)         \
    X(block_peaks)          \
    X(cast_rays)            \
    X(visibility)           \
    X(select_heights)       \
    X(consistency_mask)     \
    X(fill_holes)           \
    X(census_cost)          \
    X(census_counts)        \
    X(sgm_counts_shared)    \
    X(right_winner)         \
    X(left_right_check)
