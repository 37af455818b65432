// What only the tests look at: the identity of a shared value or tree node
// and its reference count (which can change at any moment on other
// threads).
#pragma once

#include <cstdint>

#include "velk/tree.hpp"
#include "velk/value.hpp"

namespace velk {

// Friend of ValueRef, Expr and Statement.
struct TestAccess {
    static const void* identity(const ValueRef& v) noexcept { return v.p_; }
    static std::uint64_t use_count(const ValueRef& v) noexcept {
        return v.p_ ? v.p_->refs.load(std::memory_order_relaxed) : 0;
    }
    template <class Tree>
    static const void* tree_identity(const Tree& t) noexcept {
        return t.node_;
    }
    template <class Tree>
    static std::uint64_t tree_use_count(const Tree& t) noexcept {
        return t.use_count();
    }
};

namespace inspect {

inline const void* identity(const ValueRef& v) noexcept { return TestAccess::identity(v); }
inline const void* identity(const Expr& e) noexcept { return TestAccess::tree_identity(e); }
inline const void* identity(const Statement& s) noexcept { return TestAccess::tree_identity(s); }

inline std::uint64_t use_count(const ValueRef& v) noexcept { return TestAccess::use_count(v); }
inline std::uint64_t use_count(const Expr& e) noexcept { return TestAccess::tree_use_count(e); }
inline std::uint64_t use_count(const Statement& s) noexcept { return TestAccess::tree_use_count(s); }

}  // namespace inspect
}  // namespace velk
