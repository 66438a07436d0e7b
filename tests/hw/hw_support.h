// Regular files on tmpfs standing in for one board's device nodes, and a look at
// the descriptors and mappings the test process holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

// The prefix "shm/<name>" puts the nodes at /dev/shm/<name>_user and _c2h_0.
class fake_devices {
public:
    static constexpr size_t window = 0x10000;

    // The register file holds pattern(offset) in every word; the DMA file 256 bytes, byte i being i.
    explicit fake_devices(bool with_user = true, bool with_c2h = true)
    {
        static std::atomic<int> serial{0};
        std::string name = "qrngd-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        prefix = "shm/" + name;
        user = "/dev/shm/" + name + "_user";
        c2h = "/dev/shm/" + name + "_c2h_0";
        if (with_user)
            fill_user();
        std::string bytes(256, '\0');
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = static_cast<char>(i);
        if (with_c2h)
            std::ofstream(c2h, std::ios::binary) << bytes;
    }
    ~fake_devices()
    {
        for (const std::string& p : {user, c2h})
            if (unlink(p.c_str()) != 0)
                rmdir(p.c_str());
    }

    static uint32_t pattern(size_t offset) { return 0x5A000000u | static_cast<uint32_t>(offset); }
    void fill_user() const
    {
        std::vector<uint32_t> words(window / 4);
        for (size_t i = 0; i < words.size(); i++)
            words[i] = pattern(i * 4);
        io(0, words.data(), window, true);
    }
    std::vector<uint32_t> user_words() const
    {
        std::vector<uint32_t> words(window / 4);
        io(0, words.data(), window, false);
        return words;
    }
    uint32_t word(size_t offset) const
    {
        uint32_t value = 0;
        io(offset, &value, 4, false);
        return value;
    }
    void set_word(size_t offset, uint32_t value) const { io(offset, &value, 4, true); }

    std::string prefix, user, c2h;

private:
    void io(size_t offset, void* data, size_t n, bool write) const
    {
        int fd = open(user.c_str(), write ? O_WRONLY | O_CREAT : O_RDONLY, 0600);
        off_t at = static_cast<off_t>(offset);
        if (fd < 0 || (write ? pwrite(fd, data, n, at) : pread(fd, data, n, at)) != static_cast<ssize_t>(n))
            ADD_FAILURE() << "cannot access " << user;
        if (fd >= 0)
            close(fd);
    }
};

// Descriptors of this process that refer to `path`.
inline std::vector<int> fds_for(const std::string& path)
{
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        char target[4096];
        ssize_t n = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
            fds.push_back(atoi(e->d_name));
    }
    if (d)
        closedir(d);
    return fds;
}

// Lines of /proc/self/maps that map `path`.
inline std::vector<std::string> mappings_of(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in("/proc/self/maps");
    for (std::string line; std::getline(in, line);)
        if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0)
            lines.push_back(line);
    return lines;
}
