#include "lca/index_arena.hpp"

#include <cstdint>
#include <new>
#include <utility>

#include "tree/fatal_error.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace treetally {

namespace {

#if defined(__linux__)
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// A block this large gets a mapping of its own, aligned to a huge page and marked for huge
// pages, so that the kernel can back it with 2 MB pages: a birds set of 15 MB then faults in
// a handful of times instead of thousands. A smaller block would not fill a huge page.
constexpr std::size_t own_mapping_threshold = 2 * huge_page_bytes;

std::size_t round_up(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

// An anonymous mapping of `bytes` (a whole number of pages) starting on a huge-page boundary.
std::byte* map_aligned(std::size_t bytes) {
    const std::size_t slack = huge_page_bytes;
    void* raw =
        ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    auto* const first = static_cast<std::byte*>(raw);
    const auto address = reinterpret_cast<std::uintptr_t>(first);
    auto* const start = first + (round_up(address, huge_page_bytes) - address);
    // Give back what lies before and after the aligned block.
    if (start != first) ::munmap(first, static_cast<std::size_t>(start - first));
    const std::size_t after = static_cast<std::size_t>(first + bytes + slack - (start + bytes));
    if (after != 0) ::munmap(start + bytes, after);
    // Only advice: without it (or where the kernel has no huge pages) small pages serve.
    (void)::madvise(start, bytes, MADV_HUGEPAGE);
    return start;
}
#endif

}  // namespace

IndexArena::IndexArena(std::size_t bytes) : size_(bytes) {
    if (bytes == 0) return;
#if defined(__linux__)
    if (bytes >= own_mapping_threshold) {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        mapped_bytes_ = round_up(bytes, page);
        base_ = map_aligned(mapped_bytes_);
        return;
    }
#endif
    base_ = new std::byte[bytes];
}

IndexArena::IndexArena(IndexArena&& other) noexcept {
    *this = std::move(other);
}

IndexArena& IndexArena::operator=(IndexArena&& other) noexcept {
    if (this == &other) return *this;
    release();
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
    used_ = std::exchange(other.used_, 0);
    mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
    return *this;
}

IndexArena::~IndexArena() {
    release();
}

void IndexArena::release() {
#if defined(__linux__)
    if (mapped_bytes_ != 0) {
        ::munmap(base_, mapped_bytes_);
        base_ = nullptr;
        mapped_bytes_ = 0;
    }
#endif
    delete[] base_;
    base_ = nullptr;
    size_ = 0;
    used_ = 0;
}

std::span<std::byte> IndexArena::take(std::size_t bytes) {
    if (bytes > size_ - used_) checked_index(used_ + bytes - 1, size_);
    const std::span<std::byte> out(base_ + used_, bytes);
    used_ += bytes;
    return out;
}

}  // namespace treetally
