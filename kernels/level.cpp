// The table of one level's production kernels, for the dispatcher.
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

#define QUILTMAP_TABLE_ENTRY(name) name,
const LevelKernels kernels = {Level::QUILTMAP_LEVEL, QUILTMAP_KERNELS(QUILTMAP_TABLE_ENTRY)};
#undef QUILTMAP_TABLE_ENTRY

QUILTMAP_LEVEL_END
