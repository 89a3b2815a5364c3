// The matrix product's per-thread packing scratch.
#pragma once

namespace zelto {

// The running thread's block of kMatmulScratchFloats floats, 64-byte aligned, allocated at its
// first call and freed when the thread ends; std::bad_alloc when it cannot be had.
float* thread_scratch();

}  // namespace zelto
