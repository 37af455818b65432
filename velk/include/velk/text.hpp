// Text: the bytes of a String value or of a text identifier, in 16 bytes.
//
// Up to 15 bytes live inside the object itself; longer texts live in a heap
// buffer of exactly their size that a move hands over. Buffers of short
// texts come from the block caches of shared values (velk/block_pool.hpp),
// like the values that hold them: a run that joins texts makes one per join
// and frees one per rebinding. Half the size of a
// std::string keeps tree nodes, stored variables and shared values small:
// a run copies, walks and releases thousands of them.
//
// A third form holds a 32-bit number instead of text: the payload of a
// number identifier, so that an identifier of either kind is one Text.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "velk/block_pool.hpp"

namespace velk {

class Text {
public:
    static constexpr std::size_t kInlineCapacity = 15;

    Text() noexcept = default;
    Text(std::string_view s) { assign(s); }
    Text(const char* s) : Text(std::string_view(s)) {}
    Text(const std::string& s) : Text(std::string_view(s)) {}
    Text(const Text& o) {
        if (o.on_heap()) {
            assign(o.view());
        } else {
            words_[0] = o.words_[0];
            words_[1] = o.words_[1];
        }
    }
    Text(Text&& o) noexcept : words_{o.words_[0], o.words_[1]} { o.words_[0] = o.words_[1] = 0; }
    Text& operator=(const Text& o) {
        if (this != &o) *this = Text(o);
        return *this;
    }
    Text& operator=(Text&& o) noexcept {
        if (this != &o) {
            release();
            words_[0] = std::exchange(o.words_[0], 0);
            words_[1] = std::exchange(o.words_[1], 0);
        }
        return *this;
    }
    ~Text() { release(); }

    // A text of `size` bytes whose contents the caller writes through
    // data() before anyone reads them (joining two texts).
    static Text uninitialized(std::size_t size) {
        Text t;
        t.make(size);
        return t;
    }

    // The number form. It equals no text form; data() and size() do not
    // apply to it.
    static Text number(std::uint32_t n) noexcept {
        Text t;
        t.words_[0] = n;
        t.words_[1] = kNumberTag;
        return t;
    }
    bool is_number() const noexcept { return words_[1] == kNumberTag; }
    std::uint32_t number() const noexcept { return static_cast<std::uint32_t>(words_[0]); }

    const char* data() const noexcept {
        return on_heap() ? reinterpret_cast<const char*>(words_[0]) : reinterpret_cast<const char*>(words_);
    }
    char* data() noexcept { return const_cast<char*>(std::as_const(*this).data()); }
    std::size_t size() const noexcept {
        return on_heap() ? static_cast<std::size_t>(words_[1] & kSizeMask) : static_cast<std::size_t>(words_[1] >> 56);
    }
    bool empty() const noexcept { return size() == 0; }
    std::string_view view() const noexcept { return {data(), size()}; }
    operator std::string_view() const noexcept { return view(); }
    // Texts of over 15 bytes live in a buffer of their own.
    bool on_heap() const noexcept { return (words_[1] & kHeapTag) != 0; }

    friend bool operator==(const Text& a, const Text& b) noexcept {
        // Equal inline texts and equal numbers have equal words (unused
        // bytes stay zero); the tag byte tells the forms apart.
        if (!a.on_heap() && !b.on_heap()) return a.words_[0] == b.words_[0] && a.words_[1] == b.words_[1];
        // Only texts of over 15 bytes are on the heap.
        return a.on_heap() && b.on_heap() && a.view() == b.view();
    }

private:
    // Byte 15 (the top byte of the second word on this little-endian target)
    // is the inline length (0 to 15), or kHeapTag with the size in the other
    // 56 bits and the buffer's address in the first word, or the number
    // form's tag with the number in the first word.
    static constexpr std::uint64_t kHeapTag = std::uint64_t{0x80} << 56;
    static constexpr std::uint64_t kNumberTag = std::uint64_t{0x40} << 56;
    static constexpr std::uint64_t kSizeMask = (std::uint64_t{1} << 56) - 1;
    static_assert(sizeof(void*) == 8, "the heap form keeps an address in one word");
    static_assert(std::endian::native == std::endian::little,
                  "inline bytes 0 to 14 leave byte 15, the length, to the second word's top byte only on a little-endian target");

    // Storage for `size` bytes, contents unset; this text must be empty.
    void make(std::size_t size) {
        if (size <= kInlineCapacity) {
            words_[1] = static_cast<std::uint64_t>(size) << 56;
            return;
        }
        if (size > kSizeMask) throw std::bad_alloc();
        char* p = static_cast<char*>(allocate_value_block(size));
        words_[0] = reinterpret_cast<std::uintptr_t>(p);
        words_[1] = static_cast<std::uint64_t>(size) | kHeapTag;
    }
    void assign(std::string_view s) {
        make(s.size());
        if (!s.empty()) std::memcpy(data(), s.data(), s.size());
    }
    void release() noexcept {
        if (on_heap()) free_buffer();
    }
    // Out of line: every value's destructor holds this path, and inlined it
    // made them too large to be inlined in turn.
    [[gnu::noinline]] void free_buffer() noexcept {
        free_value_block(reinterpret_cast<char*>(words_[0]), static_cast<std::size_t>(words_[1] & kSizeMask));
    }

    std::uint64_t words_[2] = {0, 0};  // inline bytes, or address and tagged size
};

static_assert(sizeof(Text) == 16);

}  // namespace velk
