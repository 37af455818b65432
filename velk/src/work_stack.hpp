// A LIFO work list for the tree walkers. The first `Inline` entries live in
// the object itself (on the caller's stack), so the ordinary shallow walk
// never allocates; deeper walks spill onto the heap.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace velk::detail {

template <class T, std::size_t Inline>
class WorkStack {
    static_assert(Inline > 0, "the inline part must hold at least one entry");

public:
    WorkStack() noexcept {}
    WorkStack(const WorkStack&) = delete;
    WorkStack& operator=(const WorkStack&) = delete;
    ~WorkStack() {
        spill_.clear();
        while (inline_size_ > 0) std::destroy_at(slot(--inline_size_));
    }

    bool empty() const noexcept { return inline_size_ == 0; }
    std::size_t size() const noexcept { return inline_size_ + spill_.size(); }

    // May throw std::bad_alloc once the inline part is full; the stack is
    // then unchanged.
    template <class... A>
    T& emplace(A&&... a) {
        if (inline_size_ < Inline) {
            T* p = ::new (static_cast<void*>(slot(inline_size_))) T(std::forward<A>(a)...);
            ++inline_size_;
            return *p;
        }
        return spill_.emplace_back(std::forward<A>(a)...);
    }

    T& top() noexcept { return spill_.empty() ? *slot(inline_size_ - 1) : spill_.back(); }

    T take() noexcept {
        if (!spill_.empty()) {
            T v = std::move(spill_.back());
            spill_.pop_back();
            return v;
        }
        T* p = slot(--inline_size_);
        T v = std::move(*p);
        std::destroy_at(p);
        return v;
    }

    void pop() noexcept {
        if (!spill_.empty()) {
            spill_.pop_back();
        } else {
            std::destroy_at(slot(--inline_size_));
        }
    }

private:
    T* slot(std::size_t i) noexcept {
        return std::launder(reinterpret_cast<T*>(storage_ + i * sizeof(T)));
    }

    alignas(T) unsigned char storage_[Inline * sizeof(T)];  // the first entries
    std::size_t inline_size_ = 0;                            // live inline entries
    std::vector<T> spill_;                                   // entries beyond Inline
};

}  // namespace velk::detail
