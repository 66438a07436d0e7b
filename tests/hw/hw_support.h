// Regular files on tmpfs standing in for one board's device nodes, and a look at
// the descriptors and mappings the test process holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The device layer does not check its prefix, so "shm/<name>" puts both device
// nodes under /dev/shm: "/dev/shm/<name>_user" and "/dev/shm/<name>_c2h_0".
class fake_devices {
public:
    static constexpr size_t window = 0x10000;

    // Creates the register file (window bytes, word i holding pattern(i)) and a
    // DMA file of c2h_size bytes (byte i holding i & 0xFF), each only when asked.
    explicit fake_devices(bool with_user = true, bool with_c2h = true, size_t c2h_size = 4096)
    {
        static std::atomic<int> serial{0};
        name = "qrngd-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        prefix = "shm/" + name;
        user = "/dev/shm/" + name + "_user";
        c2h = "/dev/shm/" + name + "_c2h_0";
        if (with_user)
            fill_user();
        if (with_c2h) {
            std::string bytes(c2h_size, '\0');
            for (size_t i = 0; i < c2h_size; i++)
                bytes[i] = static_cast<char>(i & 0xFF);
            std::ofstream(c2h, std::ios::binary) << bytes;
        }
    }
    ~fake_devices()
    {
        for (const std::string& p : {user, c2h})
            if (unlink(p.c_str()) != 0)
                rmdir(p.c_str());
    }
    fake_devices(const fake_devices&) = delete;
    fake_devices& operator=(const fake_devices&) = delete;

    static uint32_t pattern(size_t offset) { return 0x5A000000u | static_cast<uint32_t>(offset); }

    // (Re)writes the whole register file with its pattern.
    void fill_user() const
    {
        std::vector<uint32_t> words(window / 4);
        for (size_t i = 0; i < words.size(); i++)
            words[i] = pattern(i * 4);
        int fd = open(user.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd >= 0) {
            if (pwrite(fd, words.data(), window, 0) != static_cast<ssize_t>(window))
                perror("fill_user");
            close(fd);
        }
    }
    std::vector<uint32_t> user_words() const
    {
        std::vector<uint32_t> words(window / 4, 0);
        int fd = open(user.c_str(), O_RDONLY);
        if (fd >= 0) {
            if (pread(fd, words.data(), window, 0) != static_cast<ssize_t>(window))
                perror("user_words");
            close(fd);
        }
        return words;
    }
    uint32_t word(size_t offset) const
    {
        uint32_t value = 0;
        int fd = open(user.c_str(), O_RDONLY);
        if (fd >= 0) {
            if (pread(fd, &value, 4, static_cast<off_t>(offset)) != 4)
                perror("word");
            close(fd);
        }
        return value;
    }
    void set_word(size_t offset, uint32_t value) const
    {
        int fd = open(user.c_str(), O_WRONLY);
        if (fd >= 0) {
            if (pwrite(fd, &value, 4, static_cast<off_t>(offset)) != 4)
                perror("set_word");
            close(fd);
        }
    }

    std::string name;
    std::string prefix;
    std::string user;
    std::string c2h;
};

// Descriptors of this process that refer to `path`.
inline std::vector<int> fds_for(const std::string& path)
{
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return fds;
    while (struct dirent* e = readdir(d)) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
            fds.push_back(atoi(e->d_name));
    }
    closedir(d);
    return fds;
}

// The open flags of a descriptor, as /proc/self/fdinfo shows them.
inline int fd_flags(int fd)
{
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(fd));
    std::string key;
    while (in >> key) {
        if (key == "flags:") {
            std::string octal;
            in >> octal;
            return static_cast<int>(std::stol(octal, nullptr, 8));
        }
    }
    return -1;
}

// Lines of /proc/self/maps that map `path`.
inline std::vector<std::string> mappings_of(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in("/proc/self/maps");
    std::string line;
    while (std::getline(in, line))
        if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0)
            lines.push_back(line);
    return lines;
}
