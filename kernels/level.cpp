// The table of one level's production kernels, for the dispatcher.
#include "kernels/level_entry_points.hpp"

namespace quiltmap::kernels::QUILTMAP_LEVEL {

const LevelKernels kernels = {Level::QUILTMAP_LEVEL, sgm_aggregate, bilateral_filter, sample_view,
                              range_weights};

}  // namespace quiltmap::kernels::QUILTMAP_LEVEL
