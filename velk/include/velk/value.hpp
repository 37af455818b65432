// Values, numbers and identifiers: the language's data.
//
// A `Value` inside a syntax tree is held by value. Once evaluation has
// produced it, it lives behind a `ValueRef`: one heap block holding an atomic
// reference count and the immutable value, shared by the store, running
// evaluations and readers on any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "velk/block_pool.hpp"

namespace velk {

// A copy of a variant whose alternative `Text` is a std::string: the text is
// copied on its own, then moved into a variant built in place. libstdc++ 12's
// variant copy constructor, when copying the text throws std::bad_alloc,
// destroys the half-built variant by visiting an invalid index (the string
// counts as never valueless): undefined behaviour on exhausted memory.
template <std::size_t Text, class Variant>
Variant copy_text_first(const Variant& from) {
    if (const auto* text = std::get_if<Text>(&from)) {
        return Variant(std::in_place_index<Text>, std::string(*text));
    }
    return from;  // no text: nothing in the copy can throw
}

// A number is a 64-bit float or a 64-bit signed integer. Kind indices are
// fixed: Float is 0, Int is 1.
class Number {
public:
    enum class Kind : std::uint8_t { Float = 0, Int = 1 };

    static constexpr Number from_float(double f) noexcept { return Number(f); }
    static constexpr Number from_int(std::int64_t i) noexcept { return Number(i); }

    constexpr Kind kind() const noexcept { return kind_; }
    constexpr bool is_int() const noexcept { return kind_ == Kind::Int; }
    constexpr bool is_float() const noexcept { return kind_ == Kind::Float; }
    constexpr std::int64_t as_int() const noexcept { return i_; }   // only when is_int()
    constexpr double as_float() const noexcept { return f_; }       // only when is_float()

    // Division; throws EvalError on an Int zero divisor or on INT64_MIN / -1.
    static Number div(const Number& left, const Number& right);

private:
    constexpr explicit Number(double f) noexcept : kind_(Kind::Float), f_(f) {}
    constexpr explicit Number(std::int64_t i) noexcept : kind_(Kind::Int), i_(i) {}

    Kind kind_;  // which member of the union is live
    union {
        double f_;        // Kind::Float
        std::int64_t i_;  // Kind::Int
    };
};

// A value of the language. Kind indices are fixed: Null 0, Boolean 1,
// String 2, Number 3.
class Value {
public:
    enum class Kind : std::uint8_t { Null = 0, Boolean = 1, String = 2, Number = 3 };

    Value() noexcept = default;  // Null
    // Copying makes the text first, then moves it in (see copy_text_first).
    Value(const Value& o) : payload_(copy_text_first<2>(o.payload_)) {}
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) noexcept = default;

    static Value null() noexcept { return Value(); }
    static Value boolean(bool b) noexcept { return Value(Payload(std::in_place_index<1>, b)); }
    static Value string(std::string s) noexcept {
        return Value(Payload(std::in_place_index<2>, std::move(s)));
    }
    static Value number(Number n) noexcept { return Value(Payload(std::in_place_index<3>, n)); }

    Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
    bool is_null() const noexcept { return kind() == Kind::Null; }
    bool is_boolean() const noexcept { return kind() == Kind::Boolean; }
    bool is_string() const noexcept { return kind() == Kind::String; }
    bool is_number() const noexcept { return kind() == Kind::Number; }

    // Accessors; each only for its own kind.
    bool as_boolean() const noexcept { return *std::get_if<1>(&payload_); }
    const std::string& as_string() const noexcept { return *std::get_if<2>(&payload_); }
    std::string& as_string() noexcept { return *std::get_if<2>(&payload_); }
    const Number& as_number() const noexcept { return *std::get_if<3>(&payload_); }

    // Structural equality as the language's `==` defines it: kinds must
    // match, Int and Float never compare equal, floats compare by IEEE rules.
    friend bool operator==(const Value& a, const Value& b) noexcept;

private:
    using Payload = std::variant<std::monostate, bool, std::string, Number>;
    explicit Value(Payload p) noexcept : payload_(std::move(p)) {}

    Payload payload_;  // alternative index == Kind
};

// The name of a variable: an unsigned 32-bit number (U, index 0) or a text
// (S, index 1). Equal only when kind and payload are equal.
class Identifier {
public:
    enum class Kind : std::uint8_t { U = 0, S = 1 };

    // Copying makes the text first, then moves it in (see copy_text_first).
    Identifier(const Identifier& o) : payload_(copy_text_first<1>(o.payload_)) {}
    Identifier(Identifier&&) noexcept = default;
    Identifier& operator=(const Identifier&) = default;
    Identifier& operator=(Identifier&&) noexcept = default;

    static Identifier u(std::uint32_t n) noexcept { return Identifier(Payload(std::in_place_index<0>, n)); }
    static Identifier s(std::string text) noexcept {
        return Identifier(Payload(std::in_place_index<1>, std::move(text)));
    }

    Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
    bool is_u() const noexcept { return kind() == Kind::U; }
    bool is_s() const noexcept { return kind() == Kind::S; }
    std::uint32_t as_u() const noexcept { return *std::get_if<0>(&payload_); }
    const std::string& as_s() const noexcept { return *std::get_if<1>(&payload_); }

    friend bool operator==(const Identifier& a, const Identifier& b) noexcept {
        return a.payload_ == b.payload_;
    }

    // The exact bytes the store's hasher is fed: the kind index as a
    // pointer-sized little-endian word, then the U number as a 32-bit
    // little-endian word, or the S text's bytes followed by 0xFF.
    std::string hash_input() const;

private:
    using Payload = std::variant<std::uint32_t, std::string>;
    explicit Identifier(Payload p) noexcept : payload_(std::move(p)) {}

    Payload payload_;  // alternative index == Kind
};

// The heap block behind a ValueRef: count and value in one allocation.
struct SharedValue {
    template <class... A>
    explicit SharedValue(A&&... a) : value(std::forward<A>(a)...) {}

    static void* operator new(std::size_t size) { return allocate_block(size); }
    static void operator delete(void* p, std::size_t size) noexcept { free_block(p, size); }

    std::atomic<std::uint64_t> refs{1};  // owners of this block
    const Value value;                   // never changes once shared
};

// An owning reference to a shared, immutable value. Copying takes one more
// reference; the last reference to go frees the value.
class ValueRef {
public:
    ValueRef() noexcept = default;
    static ValueRef make(Value v) { return ValueRef(new SharedValue(std::move(v))); }

    ValueRef(const ValueRef& o) noexcept : p_(o.p_) { retain(); }
    ValueRef(ValueRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ValueRef& operator=(ValueRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ValueRef() { release(); }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    const Value& operator*() const noexcept { return p_->value; }
    const Value* operator->() const noexcept { return &p_->value; }
    const Value* get() const noexcept { return p_ ? &p_->value : nullptr; }

    // Identity of the shared block, and its current count (for tests and
    // diagnostics; the count can change at any moment on other threads).
    const SharedValue* block() const noexcept { return p_; }
    std::uint64_t use_count() const noexcept {
        return p_ ? p_->refs.load(std::memory_order_relaxed) : 0;
    }

private:
    explicit ValueRef(SharedValue* p) noexcept : p_(p) {}
    void retain() const noexcept {
        if (p_) p_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept {
        // Release on the decrement publishes our last reads; the acquire
        // fence orders them before the delete on the thread that frees.
        if (p_ && p_->refs.fetch_sub(1, std::memory_order_release) == 1) {
            std::atomic_thread_fence(std::memory_order_acquire);
            delete p_;
        }
    }

    SharedValue* p_ = nullptr;  // null only when default-made or moved from
};

}  // namespace velk
