// One large block of memory that holds the LCA indexes of a whole tree set, handed out in
// order: a first load faults in few pages (huge ones where the kernel offers them).
#pragma once

#include <cstddef>
#include <span>

namespace treetally {

class IndexArena {
  public:
    IndexArena() = default;
    // Reserves `bytes`; raises std::bad_alloc when the system refuses them.
    explicit IndexArena(std::size_t bytes);
    IndexArena(IndexArena&& other) noexcept;
    IndexArena& operator=(IndexArena&& other) noexcept;
    IndexArena(const IndexArena&) = delete;
    IndexArena& operator=(const IndexArena&) = delete;
    ~IndexArena();

    // The next `bytes` of the block; a request past its end is a fatal error.
    std::span<std::byte> take(std::size_t bytes);

    std::size_t size_bytes() const { return size_; }

  private:
    void release();

    std::byte* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t used_ = 0;
    std::size_t mapped_bytes_ = 0;  // non-zero when the block is a mapping of its own
};

}  // namespace treetally
