// Every production kernel on fixed inputs, one line per kernel: its name and
// a hash of its results' bytes.  Built for x86-64 and for another
// architecture (tools/test-aarch64), the lines must agree but for the kernels
// whose results go through the C library's pow, which is not correctly
// rounded and may differ from one architecture's library to another's.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kernels/levels.hpp"

namespace {

using namespace quiltmap::kernels;
using std::int64_t;
using std::uint64_t;

// Inputs from raw integers, so that nothing depends on a library's
// distributions.
struct Stream {
    uint64_t state;
    uint64_t next() {  // SplitMix64
        uint64_t z = (state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    float unit() { return float(next() >> 40) / float(1 << 24); }  // [0, 1), exactly representable
};

template <typename T>
uint64_t hash(const std::vector<T>& values) {
    uint64_t h = 0xcbf29ce484222325u;  // FNV-1a over the bytes
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    for (std::size_t i = 0; i < values.size() * sizeof(T); ++i) h = (h ^ bytes[i]) * 0x100000001b3u;
    return h;
}

template <typename T>
void report(const char* kernel, const std::vector<T>& values) {
    std::printf("%s %016llx\n", kernel, static_cast<unsigned long long>(hash(values)));
}

}  // namespace

int main() {
    Stream stream{12345};
    const int64_t D = 24, H = 37, W = 53;

    std::vector<float> cost(std::size_t(D * H * W));
    for (float& c : cost) c = stream.unit();
    std::vector<float> agg(cost.size()), path(cost.size());
    const int64_t volume[] = {D, H, W};
    sgm_aggregate(contiguous<const float>(cost.data(), volume), 0.05f, 0.4f, contiguous(agg.data(), volume),
                  contiguous(path.data(), volume));
    report("sgm_aggregate", agg);

    std::vector<float> Z(std::size_t(H * W));
    std::vector<std::uint8_t> valid(Z.size());
    for (std::size_t i = 0; i < Z.size(); ++i) {
        Z[i] = 10.0f * stream.unit();
        valid[i] = stream.next() % 5 != 0;
    }
    const int64_t grid[] = {H, W};
    std::vector<float> table(49), filtered(Z);
    const int64_t table_extents[] = {7, 7};
    bilateral_spatial_table(3, bilateral_scale(2.0f), 3, contiguous(table.data(), table_extents));
    bilateral_filter(contiguous<const float>(Z.data(), grid), contiguous<const std::uint8_t>(valid.data(), grid), 3,
                     bilateral_scale(1.0f), contiguous<const float>(table.data(), table_extents),
                     contiguous(filtered.data(), grid));
    report("bilateral_filter", filtered);

    std::vector<float> exponents(4096), weights(exponents.size());
    for (float& t : exponents) t = -120.0f * stream.unit();
    range_weights(exponents.data(), weights.data(), int64_t(exponents.size()));
    report("range_weights", weights);

    const int64_t h = 64, w = 80, channels = 3;
    std::vector<float> image(std::size_t(h * w * channels));
    for (float& p : image) p = stream.unit();
    Camera camera{{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}, {0.5, -0.25, 60.0}, 70.0, -0.04, 0.01, 39.5, 31.5};
    std::vector<float> samples(std::size_t(H * W * channels));
    std::vector<std::uint8_t> seen(std::size_t(H * W));
    const int64_t image_extents[] = {h, w, channels}, sample_extents[] = {H, W, channels};
    sample_view(contiguous<const float>(image.data(), image_extents), camera, GroundGrid{-30.0, 22.0, 1.1},
                contiguous<const float>(Z.data(), grid), contiguous(samples.data(), sample_extents),
                contiguous(seen.data(), grid));
    report("sample_view", samples);
    report("sample_view_valid", seen);

    std::vector<uint64_t> codes(Z.size());
    census(contiguous<const float>(Z.data(), grid), 3, 3, 2, contiguous(codes.data(), grid));
    report("census", codes);
    return 0;
}
