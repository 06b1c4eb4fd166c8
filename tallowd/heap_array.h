// The daemon's one array: move-only, owning its memory, and growth never throws. An allocation that
// fails is a -1 result and leaves the array as it was, so the daemon survives exhaustion.
// Plain (trivially copyable) elements are moved by realloc and added ones are left uninitialised;
// owning elements (std::unique_ptr, a heap_array, a record of them) must move without throwing and
// are moved one by one into the new block, and added ones are value-initialised (empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

template <typename T> class heap_array {
    static constexpr bool plain = std::is_trivially_copyable_v<T>;
    static_assert(plain || (std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T> &&
                            std::is_nothrow_default_constructible_v<T>),
                  "owning elements must move and construct without throwing");

public:
    heap_array() = default;
    heap_array(const heap_array &) = delete;
    heap_array &operator=(const heap_array &) = delete;
    heap_array(heap_array &&o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    heap_array &operator=(heap_array &&o) noexcept
    {
        if (this != &o) {
            reset();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~heap_array() { reset(); }

    // Sets the number of elements, keeping the first ones. 0, or -1 (the array unchanged) when
    // memory is short; shrinking an array of owning elements never fails (its block is kept).
    int resize(size_t n)
    {
        if (n == size_)
            return 0;
        if (n == 0) {
            reset();
            return 0;
        }
        if (n > SIZE_MAX / sizeof(T))
            return -1;
        if constexpr (plain) {
            void *grown = std::realloc(data_, n * sizeof(T));
            if (!grown)
                return -1;
            data_ = static_cast<T *>(grown);
        } else {
            if (n < size_) {
                destroy(n, size_);
                size_ = n;
                return 0;
            }
            T *grown = static_cast<T *>(std::malloc(n * sizeof(T)));
            if (!grown)
                return -1;
            for (size_t i = 0; i < size_; i++)
                new (grown + i) T(std::move(data_[i]));
            for (size_t i = size_; i < n; i++)
                new (grown + i) T();
            destroy(0, size_);
            std::free(data_);
            data_ = grown;
        }
        size_ = n;
        return 0;
    }

    // Appends v (moved in). 0, or -1 with the array and v unchanged when memory is short.
    int append(T &&v)
    {
        if (resize(size_ + 1) != 0)
            return -1;
        data_[size_ - 1] = std::move(v);
        return 0;
    }

    // Removes element i, the later ones moving down one place; never fails.
    void erase(size_t i)
    {
        for (size_t j = i + 1; j < size_; j++)
            data_[j - 1] = std::move(data_[j]);
        if constexpr (plain) {
            if (--size_ == 0)
                reset();
        } else {
            resize(size_ - 1);
        }
    }

    void reset()
    {
        destroy(0, size_);
        std::free(std::exchange(data_, nullptr));
        size_ = 0;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T *data() { return data_; }
    const T *data() const { return data_; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }
    T &front() { return data_[0]; }
    T &back() { return data_[size_ - 1]; }
    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }
    std::span<T> span() { return {data_, size_}; }
    std::span<const T> span() const { return {data_, size_}; }

private:
    void destroy(size_t from, size_t to)
    {
        if constexpr (!plain)
            for (size_t i = from; i < to; i++)
                data_[i].~T();
    }

    T *data_ = nullptr;
    size_t size_ = 0;
};
