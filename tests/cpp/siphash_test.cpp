// Tests of the keyed hash behind the taxon name table and of the process's random key.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/process_hash_key.hpp"
#include "base/siphash.hpp"
#include "colliding_names.hpp"

namespace treetally {
namespace {

// The key 00 01 .. 0f of the SipHash paper's test vectors, and its messages 00 01 .. (n-1).
constexpr HashKey paper_key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

std::string counting_bytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t k = 0; k < count; ++k) bytes[k] = static_cast<char>(k);
    return bytes;
}

TEST(SipHash, MatchesThePublishedVectors) {
    // SipHash-2-4 from the paper; SipHash-1-3 as reference implementations give it, at every
    // length class of the last word (empty, 1-3, 4-7 and 8+ bytes, whole words).
    EXPECT_EQ((siphash<2, 4>(counting_bytes(0), paper_key)), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ((siphash<2, 4>(counting_bytes(15), paper_key)), 0xa129ca6149be45e5ULL);
    const std::vector<std::pair<std::size_t, std::uint64_t>> vectors13 = {
        {0, 0xabac0158050fc4dcULL},  {1, 0xc9f49bf37d57ca93ULL},  {2, 0x82cb9b024dc7d44dULL},
        {3, 0x8bf80ab8e7ddf7fbULL},  {4, 0xcf75576088d38328ULL},  {7, 0xd3927d989bb11140ULL},
        {8, 0x369095118d299a8eULL},  {9, 0x25a48eb36c063de4ULL},  {12, 0x78a384b157b4d9a2ULL},
        {15, 0xd320d86d2a519956ULL}, {16, 0xcc4fdd1a7d908b66ULL}, {17, 0x9cf2689063dbd80cULL},
        {24, 0xf464aeb267349c8cULL}, {31, 0x2370dd1f8c21d1bcULL}, {63, 0x9d199062b7bbb3a8ULL}};
    for (const auto& [size, expected] : vectors13)
        EXPECT_EQ(siphash13(counting_bytes(size), paper_key), expected) << size << " bytes";
    // CPython 3.11's hash(bytes) under PYTHONHASHSEED=0, whose key is all zero bits.
    EXPECT_EQ(siphash13(counting_bytes(9), HashKey{}), 0x75927f9d95124362ULL);
}

TEST(SipHash, ReadsOnlyTheBytesOfItsView) {
    // A name is a view into a longer line: the bytes around it must not change its hash.
    const std::string line = "xx(Gallus_gallus,Anas)yy";
    for (std::size_t size = 0; size <= 15; ++size) {
        const std::string alone = line.substr(3, size);
        EXPECT_EQ(siphash13(std::string_view(line).substr(3, size), paper_key),
                  siphash13(alone, paper_key))
            << size;
    }
}

TEST(ProcessHashKey, IsRandomAndKeptForTheProcess) {
    const HashKey key = process_hash_key();
    EXPECT_NE(key.k0 | key.k1, 0u);
    const HashKey again = process_hash_key();
    EXPECT_EQ(key.k0, again.k0);
    EXPECT_EQ(key.k1, again.k1);
    // Each draw is new: the system's random source answers (two equal draws: odds 2^-128).
    const HashKey first = draw_hash_key();
    const HashKey second = draw_hash_key();
    EXPECT_TRUE(first.k0 != second.k0 || first.k1 != second.k1);
}

TEST(ProcessHashKey, SpreadsNamesCraftedAgainstTheFormerHash) {
    // Under the former hash these names all shared one home slot of every table; keyed, they
    // fall on a table of 2^13 slots as random names would: ~1,800 distinct slots of 2,000
    // names, against 1 before.
    const std::vector<std::string> names = test::names_colliding_in_former_hash(2000);
    std::set<std::uint64_t> former_slots;
    std::set<std::uint64_t> slots;
    for (const std::string& name : names) {
        former_slots.insert(test::former_name_hash(name) & 0x1fff);
        slots.insert(siphash13(name, process_hash_key()) >> 32 & 0x1fff);
    }
    EXPECT_EQ(former_slots.size(), 1u);
    EXPECT_GT(slots.size(), 1600u);
}

}  // namespace
}  // namespace treetally
