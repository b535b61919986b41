// Which kernels the tables count with: the widest instruction set the processor runs, read
// from cpuid once, unless a test or benchmark pins one.
#include <atomic>

#include "base/fatal_error.hpp"
#include "tables/kernel_width.hpp"
#include "tables/table_kernels.hpp"

namespace treetally {

namespace {

constexpr int not_forced = -1;
std::atomic<int> forced_width{not_forced};

}  // namespace

bool kernel_width_supported(KernelWidth width) {
    switch (width) {
        case KernelWidth::baseline:
            return true;
#if defined(__x86_64__)
        case KernelWidth::avx2:
            // The cpu model reads xgetbv too: a processor whose system does not save the wide
            // registers reports no AVX2 or AVX-512 here.
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
        case KernelWidth::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("popcnt") &&
                   __builtin_cpu_supports("bmi2");
#endif
        default:
            return false;
    }
}

KernelWidth best_kernel_width() {
    static const KernelWidth best = [] {
        if (kernel_width_supported(KernelWidth::avx512)) return KernelWidth::avx512;
        if (kernel_width_supported(KernelWidth::avx2)) return KernelWidth::avx2;
        return KernelWidth::baseline;
    }();
    return best;
}

void force_kernel_width(std::optional<KernelWidth> width) {
    if (width && !kernel_width_supported(*width)) {
        fail("this processor cannot run the " + std::string(kernel_width_name(*width)) +
             " table kernels");
    }
    forced_width.store(width ? static_cast<int>(*width) : not_forced, std::memory_order_relaxed);
}

KernelWidth current_kernel_width() {
    const int forced = forced_width.load(std::memory_order_relaxed);
    return forced == not_forced ? best_kernel_width() : static_cast<KernelWidth>(forced);
}

std::string_view kernel_width_name(KernelWidth width) {
    switch (width) {
        case KernelWidth::avx2:
            return "avx2";
        case KernelWidth::avx512:
            return "avx512";
        default:
            return "baseline";
    }
}

std::optional<KernelWidth> kernel_width_named(std::string_view name) {
    for (const KernelWidth width :
         {KernelWidth::baseline, KernelWidth::avx2, KernelWidth::avx512}) {
        if (kernel_width_name(width) == name) return width;
    }
    return std::nullopt;
}

namespace table_kernels {

const KernelSet& kernels_for(KernelWidth width, std::size_t depth_bytes) {
    switch (width) {
        case KernelWidth::avx512:
            return avx512_kernels(depth_bytes);
        case KernelWidth::avx2:
            return avx2_kernels(depth_bytes);
        default:
            return baseline_kernels(depth_bytes);
    }
}

}  // namespace table_kernels

}  // namespace treetally
