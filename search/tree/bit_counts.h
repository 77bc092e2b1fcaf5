// The bit counts of the residue tree: the open exponents of a node and of its
// exponent classes (the counting bound), and the places a sieved class keeps. Each
// has a popcnt clone picked at load time where the object format allows it, and a
// function so dispatched is never inlined: so they live in their own file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tree {

// The exponents not in `bits`, counted.
uint32_t openCount(const uint64_t* bits, uint32_t words, uint32_t period);

// The most exponents not in `bits` in one of `classes` masks (stops at `full`).
uint32_t mostOpenOfMasks(const uint64_t* mask, uint32_t classes, const uint64_t* bits, uint32_t words, uint32_t full);

// alive &= hits over `words` words; the places left.
uint64_t keepHits(uint64_t* alive, const uint64_t* hits, size_t words);

// The places set in `words` words.
uint64_t countPlaces(const uint64_t* places, size_t words);

}  // namespace tree
