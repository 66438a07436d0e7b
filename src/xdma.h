// Access to one board's XDMA device nodes: the register window of
// "/dev/<prefix>_user", mapped once (64 KiB), and positional DMA reads of the
// board's DDR through "/dev/<prefix>_c2h_0". Knows nothing of what registers mean.
//
// Threads: open_*/close_* only on the main thread while no other thread runs.
// read_register/write_register may run on the main and the monitor thread at
// once (each access is one aligned 32-bit load or store); read_memory is
// positional and used by the main thread.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>

class xdma_handler {
public:
    // Builds the two device paths; opens nothing.
    explicit xdma_handler(std::string prefix_)
        : prefix(std::move(prefix_)),
          user_path("/dev/" + prefix + "_user"),
          c2h_path("/dev/" + prefix + "_c2h_0"),
          user_fd(-1),
          c2h_fd(-1),
          user_map(nullptr)
    {
    }
    // Releases nothing but the paths: the owner closes both devices first.
    ~xdma_handler() = default;
    xdma_handler(const xdma_handler&) = delete;
    xdma_handler& operator=(const xdma_handler&) = delete;

    // Both end the process with status 1 when the device cannot be opened/mapped.
    void open_user();
    void close_user();
    void open_c2h();
    void close_c2h();

    unsigned int read_register(int offset, unsigned int* out, unsigned long count);
    void write_register(int offset, unsigned int value);
    // Bytes read, -1 when the read fails, -2 when the DMA device is not open.
    ssize_t read_memory(void* buf, unsigned long size, unsigned long offset);

    // Size of the mapped register window in bytes.
    static constexpr unsigned long user_map_size = 0x10000;

    // True when `count` words from byte `offset` lie inside the window and the offset
    // is word-aligned: anything else would reach memory outside the mapping.
    static bool register_range_ok(int offset, unsigned long count)
    {
        if (offset < 0 || offset % 4 != 0 || static_cast<unsigned long>(offset) >= user_map_size)
            return false;
        return count <= (user_map_size - static_cast<unsigned long>(offset)) / 4;
    }

private:
    std::string prefix;
    std::string user_path;
    std::string c2h_path;
    int user_fd;
    int c2h_fd;
    unsigned char* user_map;
};
