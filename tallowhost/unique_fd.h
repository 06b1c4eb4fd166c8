// A descriptor owned by one record: closed when the owner goes away or resets it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

struct unique_fd {
    int fd = -1;

    unique_fd() = default;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&o) noexcept : fd(std::exchange(o.fd, -1)) {}
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        if (this != &o)
            reset(std::exchange(o.fd, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    int release() { return std::exchange(fd, -1); }
    void reset(int f = -1)
    {
        // close() is not retried on EINTR: on Linux the descriptor is released either way.
        if (fd >= 0)
            ::close(fd);
        fd = f;
    }
};
