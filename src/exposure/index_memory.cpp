#include "exposure/index_memory.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>

#include "tree/available_memory.hpp"

namespace treetally {

namespace {

constexpr std::size_t saturated = std::numeric_limits<std::size_t>::max();

std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > saturated - b ? saturated : a + b;
}

std::size_t saturating_multiply(std::size_t a, std::size_t b) {
    if (a != 0 && b > saturated / a) return saturated;
    return a * b;
}

std::size_t table_columns(const Tree& tree) {
    return saturating_multiply(2, tree.unrooted_node_count());
}

}  // namespace

std::size_t lca_index_bytes(const Tree& tree, std::size_t taxon_count) {
    constexpr std::size_t tour_entry_bytes =
        sizeof(std::uint32_t) + sizeof(std::uint32_t) + sizeof(double);
    const std::size_t tour_length = saturating_multiply(2, tree.node_count());
    const std::size_t columns = table_columns(tree);
    const auto levels = static_cast<std::size_t>(std::bit_width(columns));
    std::size_t bytes = saturating_multiply(taxon_count, sizeof(std::uint32_t));
    bytes = saturating_add(bytes, saturating_multiply(tour_length, tour_entry_bytes));
    return saturating_add(
        bytes, saturating_multiply(saturating_multiply(columns, levels), sizeof(std::uint32_t)));
}

std::size_t collection_index_bytes(const TreeCollection& collection) {
    const std::size_t taxon_count = collection.taxon_set.size();
    std::size_t bytes = 0;
    for (const Tree& tree : collection.trees)
        bytes = saturating_add(bytes, lca_index_bytes(tree, taxon_count));
    return bytes;
}

std::size_t lca_build_scratch_bytes(const Tree& tree) {
    const std::size_t columns = table_columns(tree);
    const auto rows = static_cast<std::size_t>(std::bit_width(columns)) + 2;
    return saturating_multiply(saturating_multiply(columns, rows), sizeof(std::uint32_t));
}

void ensure_index_fits_in_memory(const TreeCollection& collection) {
    std::size_t scratch = 0;
    for (const Tree& tree : collection.trees)
        scratch = std::max(scratch, lca_build_scratch_bytes(tree));
    const std::size_t needed = saturating_add(collection_index_bytes(collection), scratch);
    const auto available = available_memory_bytes();
    if (available && needed > *available) throw std::bad_alloc();
}

}  // namespace treetally
