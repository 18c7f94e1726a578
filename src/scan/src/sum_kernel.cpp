// Run-time choice of the batch kernel: AVX2 when the CPU has it, else scalar.
#include <atomic>

#include "scan/multi_scan.hpp"
#include "window_sums.hpp"

namespace vok {
namespace {

bool cpu_has_avx2() {
#if defined(VOK_AVX2_KERNEL)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

SumKernel resolve(SumKernel kernel) {
  if (kernel == SumKernel::kScalar || !cpu_has_avx2()) return SumKernel::kScalar;
  return SumKernel::kAvx2;
}

std::atomic<SumKernel> g_kernel{resolve(SumKernel::kAuto)};  // the kernel scans use

}  // namespace

SumKernel force_sum_kernel(SumKernel kernel) {
  const SumKernel chosen = resolve(kernel);
  g_kernel.store(chosen, std::memory_order_relaxed);
  return chosen;
}

SumKernel active_sum_kernel() { return g_kernel.load(std::memory_order_relaxed); }

namespace detail {

ScanKernels scan_kernels() {
#if defined(VOK_AVX2_KERNEL)
  if (active_sum_kernel() == SumKernel::kAvx2) {
    return {&window_sums_avx2, &find_words_avx2, &block_words_avx2, &filter_windows_avx2, &pair_codes_avx2, 0.03};
  }
#endif
  return {&window_sums_scalar, nullptr, &block_words_scalar, &filter_windows_scalar, &pair_codes_scalar, 1.7};
}

}  // namespace detail
}  // namespace vok
