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

#include "velk/block_pool.hpp"
#include "velk/text.hpp"

namespace velk {

struct TestAccess;  // velk/tests/inspect.hpp

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
    // The value as a double: an Int converted (rounded to nearest), a Float as it is.
    constexpr double to_float() const noexcept { return is_int() ? static_cast<double>(i_) : f_; }

    // Division; throws EvalError on an Int zero divisor or on INT64_MIN / -1.
    static Number div(const Number& left, const Number& right);
    // The Int part of it: a / b truncated toward zero, with the same failures.
    static std::int64_t int_quotient(std::int64_t a, std::int64_t b);

    // Becomes a copy of `o`, field by field. A number is often copied right
    // after it was written field by field; a copy of all 16 bytes at once
    // (what the compiler makes of `*this = o`) then cannot take its bytes
    // from the two pending writes and stalls until they land.
    [[gnu::always_inline]] void assign(const Number& o) noexcept {
        kind_ = o.kind_;
        i_ = o.i_;  // the payload's 64 bits, whichever member is live
    }

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
//
// A hand-made tagged union rather than std::variant: values are copied,
// moved and destroyed on every statement, and a test of the kind costs less
// than the variant's visitation. A copy makes the text before it commits to
// the kind, so a failed copy leaves nothing half-built.
class Value {
public:
    enum class Kind : std::uint8_t { Null = 0, Boolean = 1, String = 2, Number = 3 };

    Value() noexcept : kind_(Kind::Null), boolean_(false) {}
    Value(const Value& o) : kind_(Kind::Null), boolean_(false) {
        if (o.kind_ == Kind::String) {
            ::new (static_cast<void*>(&text_)) Text(o.text_);
        } else {
            copy_plain(o);
        }
        kind_ = o.kind_;
    }
    Value(Value&& o) noexcept : kind_(o.kind_) {
        if (kind_ == Kind::String) {
            ::new (static_cast<void*>(&text_)) Text(std::move(o.text_));
        } else {
            copy_plain(o);
        }
    }
    Value& operator=(const Value& o) {
        if (this != &o) *this = Value(o);
        return *this;
    }
    Value& operator=(Value&& o) noexcept {
        if (this != &o) {
            destroy();
            ::new (static_cast<void*>(this)) Value(std::move(o));
        }
        return *this;
    }
    ~Value() { destroy(); }

    static Value null() noexcept { return Value(); }
    static Value boolean(bool b) noexcept {
        Value v;
        v.kind_ = Kind::Boolean;
        v.boolean_ = b;
        return v;
    }
    static Value string(Text s) noexcept {
        Value v;
        ::new (static_cast<void*>(&v.text_)) Text(std::move(s));
        v.kind_ = Kind::String;
        return v;
    }
    static Value number(Number n) noexcept {
        Value v;
        v.kind_ = Kind::Number;
        v.number_ = n;
        return v;
    }

    // Becomes a copy of `o`, which holds no text.
    [[gnu::always_inline]] void assign_plain(const Value& o) noexcept {
        destroy();
        kind_ = o.kind_;
        copy_plain(o);
    }

    Kind kind() const noexcept { return kind_; }
    bool is_null() const noexcept { return kind() == Kind::Null; }
    bool is_boolean() const noexcept { return kind() == Kind::Boolean; }
    bool is_string() const noexcept { return kind() == Kind::String; }
    bool is_number() const noexcept { return kind() == Kind::Number; }
    // Whether a copy needs memory of its own: only texts of over 15 bytes.
    bool copy_allocates() const noexcept { return is_string() && text_.on_heap(); }

    // Accessors; each only for its own kind.
    bool as_boolean() const noexcept { return boolean_; }
    std::string_view as_string() const noexcept { return text_.view(); }
    const Number& as_number() const noexcept { return number_; }

    // Structural equality as the language's `==` defines it: kinds must
    // match, Int and Float never compare equal, floats compare by IEEE rules.
    friend bool operator==(const Value& a, const Value& b) noexcept;

private:
    // Null has no live member: nothing to copy.
    [[gnu::always_inline]] void copy_plain(const Value& o) noexcept {
        if (o.kind_ == Kind::Number) {
            number_.assign(o.number_);
        } else if (o.kind_ == Kind::Boolean) {
            boolean_ = o.boolean_;
        }
    }
    [[gnu::always_inline]] void destroy() noexcept {
        if (kind_ == Kind::String) text_.~Text();
        kind_ = Kind::Null;
    }

    Kind kind_;  // which member of the union is live (Null: none)
    union {
        bool boolean_;   // Kind::Boolean
        Number number_;  // Kind::Number
        Text text_;      // Kind::String
    };
};

// The name of a variable: an unsigned 32-bit number (U, index 0) or a text
// (S, index 1), held as one Text whose form tells the kind. Equal only when
// kind and payload are equal.
class Identifier {
public:
    enum class Kind : std::uint8_t { U = 0, S = 1 };

    static Identifier u(std::uint32_t n) noexcept { return Identifier(Text::number(n)); }
    static Identifier s(Text text) noexcept { return Identifier(std::move(text)); }

    Kind kind() const noexcept { return payload_.is_number() ? Kind::U : Kind::S; }
    bool is_u() const noexcept { return kind() == Kind::U; }
    bool is_s() const noexcept { return kind() == Kind::S; }
    std::uint32_t as_u() const noexcept { return payload_.number(); }
    std::string_view as_s() const noexcept { return payload_.view(); }
    // Whether a copy needs memory of its own: only texts of over 15 bytes.
    bool copy_allocates() const noexcept { return payload_.on_heap(); }

    // Kinds differ by the payload's form, so one comparison covers both.
    friend bool operator==(const Identifier& a, const Identifier& b) noexcept { return a.payload_ == b.payload_; }

private:
    explicit Identifier(Text&& payload) noexcept : payload_(std::move(payload)) {}

    // The text of an S identifier, or the number form of a U one: 16 bytes
    // either way, which keeps the store's slots and statements small.
    Text payload_;
};

namespace detail {

// Drops one of the owners that `count` counts; true for the last, which
// then frees. Release on the decrement publishes our last reads; acquire
// orders the other owners' reads before the free on the thread that frees
// (one acq_rel operation rather than a separate acquire fence: the same code
// on x86, and ThreadSanitizer understands it). A count of one needs no
// atomic update at all: nobody else holds the object, so nobody else can
// take a new reference to it.
inline bool drop_owner(std::atomic<std::uint64_t>& count) noexcept {
    return count.load(std::memory_order_acquire) == 1 || count.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

}  // namespace detail

// The heap block behind a ValueRef: count and value in one allocation.
struct SharedValue {
    template <class... A>
    explicit SharedValue(A&&... a) : value(std::forward<A>(a)...) {}

    static void* operator new(std::size_t size) { return allocate_value_block(size); }
    static void operator delete(void* p, std::size_t size) noexcept { free_value_block(p, size); }

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
    ~ValueRef() {
        if (p_) release();
    }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    const Value& operator*() const noexcept { return p_->value; }
    const Value* operator->() const noexcept { return &p_->value; }
    const Value* get() const noexcept { return p_ ? &p_->value : nullptr; }

private:
    friend struct TestAccess;  // the tests' look at identity and count
    explicit ValueRef(SharedValue* p) noexcept : p_(p) {}
    void retain() const noexcept {
        if (p_) p_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept {
        // Usually a value the store has just replaced: its count is one.
        if (p_ && detail::drop_owner(p_->refs)) delete p_;
    }

    SharedValue* p_ = nullptr;  // null only when default-made or moved from
};

}  // namespace velk
