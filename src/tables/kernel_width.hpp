// Which instruction set the table kernels use: the widest this processor runs, found at run
// time, so that one build serves every x86-64 machine; tests and benchmarks may pin one.
#pragma once

#include <optional>
#include <string_view>

namespace treetally {

enum class KernelWidth { baseline, avx2, avx512 };

// Whether this processor (and its operating system) runs the kernels of `width`.
bool kernel_width_supported(KernelWidth width);
// The widest width this processor runs.
KernelWidth best_kernel_width();
// Pins the width every table counts with from now on; nullopt returns to the best. Pinning a
// width this processor cannot run is a fatal error.
void force_kernel_width(std::optional<KernelWidth> width);
// The width tables count with now: the pinned one, else the best.
KernelWidth current_kernel_width();

// "baseline", "avx2", "avx512", and back; nullopt for any other name.
std::string_view kernel_width_name(KernelWidth width);
std::optional<KernelWidth> kernel_width_named(std::string_view name);

}  // namespace treetally
