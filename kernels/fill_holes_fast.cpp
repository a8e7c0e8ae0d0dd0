// Hole filling, compiled once per level (simd.hpp).
//
// A breadth-first front instead of the twin's sweeps of the whole grid: the
// cells of ring k + 1 can only be holes beside a cell filled in ring k (a
// hole whose neighbours did not change gets the same answer as before), so
// each ring visits its own candidates and no others, and the work is linear
// in the cells.  ring[cell] says what a cell is: >= 0, filled in that ring
// (0: held a value from the start), so that a cell of ring k reads only
// neighbours below k; < 0, a hole last queued for ring -1 - ring[cell], so
// that no ring queues a cell twice.  The two rows of queue hold the current
// ring's candidates and the next ring's, as row-major cell indices.
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/fill_holes.hpp"
#include "kernels/level_entry_points.hpp"

QUILTMAP_LEVEL_BEGIN

namespace {

using std::int32_t;
using std::int64_t;

constexpr int32_t kNeverQueued = -1;
constexpr int32_t queued_for(int64_t k) { return int32_t(-1 - k); }

struct Grid {
    const Array2<float>& z;
    const Array2<int32_t>& ring;
    int64_t H, W;

    float& value(int64_t y, int64_t x) const { return *at(z.data, y * z.stride[0] + x * z.stride[1]); }
    int32_t& state(int64_t y, int64_t x) const { return *at(ring.data, y * ring.stride[0] + x * ring.stride[1]); }

    // visit(ny, nx) for the neighbours of (y, x) inside the grid, in row-major order.
    template <typename Visit>
    void neighbours(int64_t y, int64_t x, Visit visit) const {
        const int64_t y0 = y > 0 ? y - 1 : 0, y1 = y + 1 < H ? y + 1 : y;
        const int64_t x0 = x > 0 ? x - 1 : 0, x1 = x + 1 < W ? x + 1 : x;
        for (int64_t ny = y0; ny <= y1; ++ny)
            for (int64_t nx = x0; nx <= x1; ++nx)
                if (ny != y || nx != x) visit(ny, nx);
    }
};

}  // namespace

void fill_holes(const Array2<float>& z, int64_t rings, const Array2<int32_t>& ring, const Array2<int32_t>& queue) {
    const Grid grid{z, ring, z.extent[0], z.extent[1]};
    const int64_t H = grid.H, W = grid.W;
    if (rings == 0 || H == 0 || W == 0) return;
    int32_t* lists[2] = {at(queue.data, 0), at(queue.data, queue.stride[0])};

    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x) grid.state(y, x) = std::isnan(grid.value(y, x)) ? kNeverQueued : 0;
    int64_t count = 0;
    for (int64_t y = 0; y < H; ++y) {
        for (int64_t x = 0; x < W; ++x) {
            if (grid.state(y, x) >= 0) continue;
            bool beside = false;
            grid.neighbours(y, x, [&](int64_t ny, int64_t nx) { beside |= grid.state(ny, nx) >= 0; });
            if (beside) {
                grid.state(y, x) = queued_for(1);
                lists[0][count++] = int32_t(y * W + x);
            }
        }
    }

    for (int64_t k = 1; count > 0 && (rings < 0 || k <= rings); ++k) {
        const int32_t* current = lists[(k - 1) & 1];
        int32_t* next = lists[k & 1];
        int64_t queued = 0;
        for (int64_t i = 0; i < count; ++i) {
            const int64_t y = current[i] / W, x = current[i] % W;
            if (grid.state(y, x) >= 0) continue;  // filled later in the ring that queued it
            float low = std::numeric_limits<float>::infinity();
            grid.neighbours(y, x, [&](int64_t ny, int64_t nx) {
                const int32_t s = grid.state(ny, nx);
                if (s >= 0 && s < k) {
                    const float v = grid.value(ny, nx);
                    low = low < v ? low : v;  // NumPy's minimum: the later of equal values
                }
            });
            if (!std::isfinite(low)) continue;
            grid.value(y, x) = low;
            grid.state(y, x) = int32_t(k);
            grid.neighbours(y, x, [&](int64_t ny, int64_t nx) {
                int32_t& s = grid.state(ny, nx);
                if (s < 0 && s != queued_for(k + 1)) {
                    s = queued_for(k + 1);
                    next[queued++] = int32_t(ny * W + nx);
                }
            });
        }
        count = queued;
    }
}

QUILTMAP_LEVEL_END
