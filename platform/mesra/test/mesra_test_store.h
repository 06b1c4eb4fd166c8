// Test helpers of the state-service stand-in, shared by its own tests and the daemon's: a fresh
// store directory and a dispatch loop that waits for a condition.
#pragma once

#include <poll.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace mesra_test {

namespace fs = std::filesystem;

// A fresh store directory, exported as MESRA_DIR.
struct store {
    fs::path dir;
    store()
    {
        char tmpl[] = "/tmp/mesra-test-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("MESRA_DIR", dir.c_str(), 1);
    }
    ~store()
    {
        unsetenv("MESRA_DIR");
        fs::remove_all(dir);
    }
    // Written in place: the watcher sees the close after writing.
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    // Written under a hidden name and renamed into place.
    void write_renamed(const std::string &name, const std::string &text) const
    {
        std::ofstream(dir / ("." + name), std::ios::binary) << text;
        fs::rename(dir / ("." + name), dir / name);
    }
    void remove(const std::string &name) const { fs::remove(dir / name); }
    bool exists(const std::string &name) const { return fs::exists(dir / name); }
    std::string read(const std::string &name) const
    {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// Polls fd and runs dispatch until done() holds or a second has passed.
inline bool dispatch_until(int fd, const std::function<void()> &dispatch, const std::function<bool()> &done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            dispatch();
    }
    return true;
}

}  // namespace mesra_test
