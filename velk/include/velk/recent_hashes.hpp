// The hashes of names a store has hashed, for a store that has one user at
// a time.
//
// Memos spare a tree's names their hash on a store they have met, but a
// store made per request meets each name for the first time once per node
// that names it: rules that read `zone` twice, or bind `fee` and then have
// it read by name, hash the name as often. A name's hash under one key
// never changes, so the store keeps the hashes of the short names it
// hashed, one per place, the place chosen by the name's two words; a name
// is compared with the one kept in its place before it is hashed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "velk/siphash.hpp"
#include "velk/value.hpp"

namespace velk {

class RecentHashes {
public:
    static constexpr unsigned kPlaceBits = 4;
    static constexpr std::size_t kPlaces = std::size_t{1} << kPlaceBits;

    // One kept name: its two words and its hash.
    struct Place {
        std::uint64_t words[2];
        std::uint64_t hash;
    };
    static constexpr std::size_t kBytes = kPlaces * sizeof(Place);

    // Uses `places` (kBytes, the store's to keep) from now on, all empty.
    void start(void* places) noexcept {
        places_ = static_cast<Place*>(places);
        for (std::size_t i = 0; i < kPlaces; ++i) places_[i] = Place{{0, kNoName}, 0};
    }

    // The hash of `key` under `hasher`, the key of every hash kept here.
    std::uint64_t hash(const Identifier& key, const IdentifierHasher& hasher) const noexcept {
        // An identifier that does not allocate is its two words, and equal
        // ones have equal words (velk/text.hpp, operator==); an allocating
        // one has the heap tag in its second word and is never kept.
        static_assert(sizeof(Identifier) == sizeof(Place::words));
        std::uint64_t words[2];
        std::memcpy(words, static_cast<const void*>(&key), sizeof words);
        Place& place = places_[((words[0] ^ words[1]) * kMix) >> (64 - kPlaceBits)];
        if (place.words[0] == words[0] && place.words[1] == words[1]) return place.hash;
        const std::uint64_t hash = hasher(key);
        if (!key.copy_allocates()) place = Place{{words[0], words[1]}, hash};
        return hash;
    }

private:
    // The second word of an empty place: it has the heap tag of an
    // allocating identifier, which is never kept, so no name matches it.
    static constexpr std::uint64_t kNoName = ~std::uint64_t{0};
    static constexpr std::uint64_t kMix = 0x9e3779b97f4a7c15ULL;  // spreads the words over the places

    Place* places_ = nullptr;  // kPlaces of them
};

}  // namespace velk
