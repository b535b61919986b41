#include "lca/index_arena.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace treetally {

namespace {

// Doubling stops here: a set of many trees then wastes at most this much at the end of its
// last block (and no memory at all where the end of a block was never touched).
constexpr std::size_t largest_growth_bytes = std::size_t{32} << 20;

#if defined(__linux__)
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// A block this large gets a mapping of its own, aligned to a huge page and marked for huge
// pages, so that the kernel can back it with 2 MB pages: the 15 MB of indexes of the birds
// file then fault in a handful of times instead of thousands. A smaller block would not fill
// a huge page.
constexpr std::size_t own_mapping_threshold = 2 * huge_page_bytes;

std::size_t round_up(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

std::size_t page_bytes() {
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
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
    const auto after = static_cast<std::size_t>(first + bytes + slack - (start + bytes));
    if (after != 0) ::munmap(start + bytes, after);
    // Only advice: without it (or where the kernel has no huge pages) small pages serve.
    (void)::madvise(start, bytes, MADV_HUGEPAGE);
    return start;
}
#endif

}  // namespace

IndexArena::IndexArena(std::size_t first_block_bytes) : next_block_bytes_(first_block_bytes) {}

IndexArena::IndexArena(IndexArena&& other) noexcept
    : last_(std::exchange(other.last_, nullptr)),
      used_(std::exchange(other.used_, 0)),
      next_block_bytes_(other.next_block_bytes_) {}

IndexArena& IndexArena::operator=(IndexArena&& other) noexcept {
    if (this == &other) return *this;
    release();
    last_ = std::exchange(other.last_, nullptr);
    used_ = std::exchange(other.used_, 0);
    next_block_bytes_ = other.next_block_bytes_;
    return *this;
}

IndexArena::~IndexArena() {
    release();
}

std::size_t IndexArena::block_bytes_for(std::size_t bytes) {
    static_assert(sizeof(BlockHeader) % 8 == 0, "pieces after the header stay 8-byte aligned");
    return sizeof(BlockHeader) + bytes;
}

void IndexArena::release() {
    while (last_ != nullptr) {
        BlockHeader* const block = last_;
        last_ = block->previous;
        auto* const memory = reinterpret_cast<std::byte*>(block);
#if defined(__linux__)
        if (block->mapped) {
            ::munmap(memory, round_up(block_bytes_for(block->bytes), page_bytes()));
            continue;
        }
#endif
        delete[] memory;
    }
    used_ = 0;
}

std::span<std::byte> IndexArena::take(std::size_t bytes) {
    BlockHeader* block = last_;
    if (block == nullptr || bytes > block->bytes - used_) {
        block = add_block(std::max(bytes, next_block_bytes_));
        next_block_bytes_ = std::min(2 * next_block_bytes_, largest_growth_bytes);
    }
    std::byte* const pieces = reinterpret_cast<std::byte*>(block) + sizeof(BlockHeader);
    const std::span<std::byte> out(pieces + used_, bytes);
    used_ += bytes;
    return out;
}

IndexArena::BlockHeader* IndexArena::add_block(std::size_t bytes) {
    std::byte* memory = nullptr;
    bool mapped = false;
#if defined(__linux__)
    if (bytes >= own_mapping_threshold) {
        memory = map_aligned(round_up(block_bytes_for(bytes), page_bytes()));
        mapped = true;
    }
#endif
    if (memory == nullptr) memory = new std::byte[block_bytes_for(bytes)];
    last_ = ::new (memory) BlockHeader{last_, bytes, mapped};
    used_ = 0;
    return last_;
}

}  // namespace treetally
