// The XDMA driver's character devices: mapped register window and DMA channel.
#include "xdma.h"

#include "defs.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

void xdma_handler::open_user()
{
    user_fd = open(user_path.c_str(), O_RDWR | O_SYNC);
    if (user_fd < 0) {
        log_message(LEVEL_ERROR, "Failed to open device: %s\n", user_path.c_str());
        exit(1);
    }
    void* map = mmap(nullptr, user_map_size, PROT_READ | PROT_WRITE, MAP_SHARED, user_fd, 0);
    if (map == MAP_FAILED) {
        log_message(LEVEL_ERROR, "Failed to mmap device: %s\n", user_path.c_str());
        exit(1);
    }
    user_map = static_cast<unsigned char*>(map);
}

void xdma_handler::close_user()
{
    munmap(user_map, user_map_size);
    user_map = nullptr;
    close(user_fd);
    user_fd = -1;
}

void xdma_handler::open_c2h()
{
    int fd = open(c2h_path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        log_message(LEVEL_ERROR, "Failed to open device: %s\n", c2h_path.c_str());
        exit(1);
    }
    c2h_fd = fd;
}

void xdma_handler::close_c2h()
{
    close(c2h_fd);
    c2h_fd = -1;
}

unsigned int xdma_handler::read_register(int offset, unsigned int* out, unsigned long count)
{
    if (user_fd == -1 || !register_range_ok(offset, out ? count : 1)) {
        log_message(LEVEL_WARN, "Device is not open. Failed to read register: %08x\n", offset);
        return 0;
    }
    volatile uint32_t* reg = reinterpret_cast<volatile uint32_t*>(user_map + offset);
    unsigned int value = reg[0];
    if (out) {
        for (unsigned long i = 0; i < count; i++)
            out[i] = reg[i];
    }
    return value;
}

void xdma_handler::write_register(int offset, unsigned int value)
{
    if (user_fd == -1 || !register_range_ok(offset, 1)) {
        log_message(LEVEL_WARN, "Device is not open. Failed to write register: %08x\n", offset);
        return;
    }
    *reinterpret_cast<volatile uint32_t*>(user_map + offset) = value;
}

ssize_t xdma_handler::read_memory(void* buf, unsigned long size, unsigned long offset)
{
    if (c2h_fd == -1) {
        log_message(LEVEL_WARN, "Device is not open. Failed to read memory: %08lx\n", offset);
        return -2;
    }
    return pread(c2h_fd, buf, size, static_cast<off_t>(offset));
}
