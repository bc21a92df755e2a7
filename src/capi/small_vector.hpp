// A vector that keeps its first N elements inline, so the common short
// sequences (a command of a few words) cost no heap allocation.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace capi {

template <class T, std::size_t N>
class SmallVector {
public:
    SmallVector() noexcept = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;
    ~SmallVector() {
        std::destroy_n(data_, size_);
        if (data_ != inline_data()) ::operator delete(data_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* data() noexcept { return data_; }

    // Throw std::bad_alloc when the heap refuses: a noexcept caller must
    // catch it and set MemoryError (capi::set_error_from_cpp_exception).
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        T* fresh = static_cast<T*>(::operator new(n * sizeof(T)));
        std::uninitialized_move_n(data_, size_, fresh);
        std::destroy_n(data_, size_);
        if (data_ != inline_data()) ::operator delete(data_);
        data_ = fresh;
        capacity_ = n;
    }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) reserve(capacity_ * 2);
        T* slot = new (data_ + size_) T(std::forward<Args>(args)...);
        ++size_;
        return *slot;
    }
    void push_back(T&& value) { emplace_back(std::move(value)); }

private:
    T* inline_data() noexcept { return reinterpret_cast<T*>(storage_); }

    alignas(T) unsigned char storage_[N * sizeof(T)];
    T* data_ = inline_data();
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace capi
