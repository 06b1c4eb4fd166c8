// A move-only heap array of plain elements that owns its memory. Growth never throws: an allocation
// that fails is a -1 result and leaves the array as it was, so the daemon survives exhaustion.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <span>
#include <type_traits>
#include <utility>

template <typename T> class heap_array {
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved by realloc");

public:
    heap_array() = default;
    heap_array(const heap_array &) = delete;
    heap_array &operator=(const heap_array &) = delete;
    heap_array(heap_array &&o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    heap_array &operator=(heap_array &&o) noexcept
    {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~heap_array() { std::free(data_); }

    // Sets the number of elements, keeping the first ones; added elements are uninitialised.
    // 0, or -1 (the array unchanged) when memory is short.
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
        void *grown = std::realloc(data_, n * sizeof(T));
        if (!grown)
            return -1;
        data_ = static_cast<T *>(grown);
        size_ = n;
        return 0;
    }
    void reset()
    {
        std::free(std::exchange(data_, nullptr));
        size_ = 0;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T *data() { return data_; }
    const T *data() const { return data_; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }
    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }
    std::span<T> span() { return {data_, size_}; }
    std::span<const T> span() const { return {data_, size_}; }

private:
    T *data_ = nullptr;
    size_t size_ = 0;
};
