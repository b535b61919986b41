#include "allocation_counter.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

// Every block carries its size in front, in a header as large as the alignment operator new
// promises. The tests of this program run on one thread.
constexpr std::size_t header_bytes = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

std::size_t live_bytes = 0;
std::size_t live_blocks = 0;
std::size_t peak_bytes = 0;
std::size_t largest_block = 0;

void* counted_new(std::size_t size) {
    void* block = std::malloc(size + header_bytes);
    if (block == nullptr) throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = size;
    live_bytes += size;
    ++live_blocks;
    peak_bytes = std::max(peak_bytes, live_bytes);
    largest_block = std::max(largest_block, size);
    return static_cast<char*>(block) + header_bytes;
}

void counted_delete(void* pointer) noexcept {
    if (pointer == nullptr) return;
    void* block = static_cast<char*>(pointer) - header_bytes;
    live_bytes -= *static_cast<std::size_t*>(block);
    --live_blocks;
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
    return counted_new(size);
}
void* operator new[](std::size_t size) {
    return counted_new(size);
}
void operator delete(void* pointer) noexcept {
    counted_delete(pointer);
}
void operator delete[](void* pointer) noexcept {
    counted_delete(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    counted_delete(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    counted_delete(pointer);
}

namespace treetally::test {

Allocated allocated_by(const std::function<void()>& action) {
    const std::size_t bytes_before = live_bytes;
    const std::size_t blocks_before = live_blocks;
    peak_bytes = live_bytes;
    largest_block = 0;
    action();
    return {live_bytes - bytes_before, live_blocks - blocks_before, peak_bytes - bytes_before,
            largest_block};
}

}  // namespace treetally::test
