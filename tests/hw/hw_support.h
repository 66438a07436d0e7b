// Regular files on tmpfs standing in for one board's device nodes, and a look at
// the descriptors and mappings the test process holds.
#pragma once

#include "defs.h"
#include "test_support.h"
#include "xdma.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

// The prefix "shm/<name>" puts the nodes at /dev/shm/<name>_user and _c2h_0. The register
// file holds pattern(offset) in every word but those in `changed`, the DMA file 256 bytes, byte i being i.
struct fake_devices {
    explicit fake_devices(const std::map<size_t, uint32_t>& changed = {})
    {
        static int serial = 0;
        std::string name = "qrngd-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        prefix = "shm/" + name, user = "/dev/shm/" + name + "_user", c2h = "/dev/shm/" + name + "_c2h_0";
        std::vector<uint32_t> w(0x4000);
        for (size_t i = 0; i < w.size(); i++)
            w[i] = changed.count(i * 4) ? changed.at(i * 4) : pattern(i * 4);
        std::ofstream(user).write(reinterpret_cast<char*>(w.data()), 0x10000);
        std::ofstream dma(c2h);
        for (int i = 0; i < 256; i++)
            dma.put(static_cast<char>(i));
    }
    ~fake_devices() { remove(user.c_str()), remove(c2h.c_str()); }
    static uint32_t pattern(size_t offset) { return 0x5A000000u | static_cast<uint32_t>(offset); }
    // The words of the register file other than their pattern, offset -> word.
    std::map<size_t, uint32_t> changes() const
    {
        std::vector<uint32_t> w(0x4000);
        std::ifstream(user).read(reinterpret_cast<char*>(w.data()), 0x10000);
        std::map<size_t, uint32_t> c;
        for (size_t i = 0; i < w.size(); i++)
            if (w[i] != pattern(i * 4))
                c[i * 4] = w[i];
        return c;
    }
    std::string prefix, user, c2h;
};

// What this process holds of `path`: "fd <flags> " per descriptor (access mode, O_SYNC,
// O_DSYNC and O_NONBLOCK only), then "map <bytes> <permissions> <file offset> " per mapping.
inline std::string held(const std::string& path)
{
    std::string s, line;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        if (std::error_code ec; std::filesystem::read_symlink(e.path(), ec) == path)
            s += "fd " + std::to_string(fcntl(std::stoi(e.path().filename()), F_GETFL) & (O_ACCMODE | O_SYNC | O_NONBLOCK)) + " ";
    unsigned long start, end, offset;
    char perms[8];
    for (std::ifstream maps("/proc/self/maps"); std::getline(maps, line);)
        if (line.find(path) != std::string::npos && sscanf(line.c_str(), "%lx-%lx %7s %lx", &start, &end, perms, &offset) == 4)
            s += "map " + std::to_string(end - start) + " " + perms + " " + std::to_string(offset) + " ";
    return s;
}
