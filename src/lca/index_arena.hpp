// Large blocks of memory that hold the LCA indexes of a whole tree set, handed out in order: a
// first load faults in few pages (huge ones where the kernel offers them), and the set frees
// them together.
#pragma once

#include <cstddef>
#include <span>

namespace treetally {

class IndexArena {
  public:
    // The first block holds `first_block_bytes`; each later one twice the one before it, up to
    // a limit, or what a larger request needs.
    explicit IndexArena(std::size_t first_block_bytes = std::size_t{1} << 20);
    IndexArena(IndexArena&& other) noexcept;
    IndexArena& operator=(IndexArena&& other) noexcept;
    IndexArena(const IndexArena&) = delete;
    IndexArena& operator=(const IndexArena&) = delete;
    ~IndexArena();

    // The next `bytes` (a multiple of 8, so every piece is 8-byte aligned), from a new block
    // when the last one is full; raises std::bad_alloc when the system refuses a block.
    std::span<std::byte> take(std::size_t bytes);

    // What a block that holds `bytes` takes, with the arena's bookkeeping inside it.
    static std::size_t block_bytes_for(std::size_t bytes);

  private:
    // The start of every block; the pieces follow it.
    struct BlockHeader {
        BlockHeader* previous;
        std::size_t bytes;  // of pieces
        bool mapped;        // a mapping of its own, rather than from the allocator
    };
    // Starts a block of `bytes` of pieces after the last one.
    BlockHeader* add_block(std::size_t bytes);
    void release();

    BlockHeader* last_ = nullptr;
    std::size_t used_ = 0;  // of the last block
    std::size_t next_block_bytes_;
};

}  // namespace treetally
