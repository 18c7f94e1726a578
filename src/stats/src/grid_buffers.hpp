#pragma once
// Working buffers of grid distributions, kept between grids: a fresh vector
// of many megabytes costs a page fault per 4 KiB, more than the convolution
// that fills it. Buffers given back are kept, up to kKeptGridBufferBytes in
// all, for the next grid of any thread (release_grid_buffers() frees them).
#include <cstddef>
#include <vector>

namespace vok::grid_buffers {

// The buffer given back last, emptied (capacity kept), or a new empty one.
std::vector<double> take();
// Keeps `buffer` for a later take() while the kept bytes allow, else frees it.
void give_back(std::vector<double> buffer) noexcept;

}  // namespace vok::grid_buffers
