// One scratch block per thread, bounded and never proportional to the operands, held by a key
// of the threads library rather than a thread_local: the C library allocates a module's dynamic
// thread-local storage at a thread's first access and ends the process when that fails, while
// every allocation here reports failure as std::bad_alloc.
#include "matrix/thread_scratch.hpp"

#include <pthread.h>

#include <cstdlib>
#include <new>

#include "matrix/matmul_blocking.hpp"

namespace zelto {
namespace {

// The key, made once per process; the threads library frees a thread's block as it ends.
class ScratchKey {
 public:
  ScratchKey() {
    if (pthread_key_create(&key_, release) != 0) throw std::bad_alloc();
  }
  // At the process's exit, on the thread that ends it: the threads library frees blocks only
  // as threads end, and this one ends without that.
  ~ScratchKey() {
    std::free(pthread_getspecific(key_));
    pthread_key_delete(key_);
  }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  // The running thread's block, allocated on its first call.
  float* get() {
    void* block = pthread_getspecific(key_);
    if (block == nullptr) {
      block = std::aligned_alloc(64, kMatmulScratchFloats * sizeof(float));
      if (block == nullptr) throw std::bad_alloc();
      if (pthread_setspecific(key_, block) != 0) {
        std::free(block);
        throw std::bad_alloc();
      }
    }
    return static_cast<float*>(block);
  }

 private:
  // Called by the threads library with an ending thread's block.
  static void release(void* block) noexcept { std::free(block); }

  pthread_key_t key_;
};

}  // namespace

// A failed key creation is retried at the next call, as a throwing static initialiser is.
float* thread_scratch() {
  static ScratchKey key;
  return key.get();
}

}  // namespace zelto
