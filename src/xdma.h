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

class xdma_handler {
public:
    explicit xdma_handler(std::string prefix);
    ~xdma_handler();
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

private:
    std::string prefix;
    std::string user_path;
    std::string c2h_path;
    int user_fd;
    int c2h_fd;
    unsigned char* user_map;
};
