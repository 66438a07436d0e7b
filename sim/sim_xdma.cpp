// The simulated device layer: xdma_handler's interface, answered by the board
// model of sim_model.cpp instead of the XDMA driver's device nodes. Towards its
// callers it behaves like the real layer: the same start-up failures (message,
// exit status 1), the same refusals of closed devices and of register offsets
// outside the window, the same return values.
#include "xdma.h"

#include "defs.h"
#include "sim_model.h"

#include <cerrno>
#include <cstdlib>

namespace {

// Stands in for a descriptor while a simulated device is open; never passed to
// the operating system.
constexpr int SIM_OPEN = 0x51D0;

} // namespace

void xdma_handler::open_user()
{
    switch (sim_device_open(sim_device::user, user_path)) {
    case sim_open_result::missing:
        log_message(LEVEL_ERROR, "Failed to open device: %s\n", user_path.c_str());
        exit(1);
    case sim_open_result::mmap_failed:
        log_message(LEVEL_ERROR, "Failed to mmap device: %s\n", user_path.c_str());
        exit(1);
    case sim_open_result::ok:
        break;
    }
    user_fd = SIM_OPEN;
}

void xdma_handler::close_user()
{
    if (user_fd != -1)
        sim_device_close(user_path);
    user_map = nullptr;
    user_fd = -1;
}

void xdma_handler::open_c2h()
{
    if (sim_device_open(sim_device::c2h, c2h_path) != sim_open_result::ok) {
        log_message(LEVEL_ERROR, "Failed to open device: %s\n", c2h_path.c_str());
        exit(1);
    }
    c2h_fd = SIM_OPEN;
}

void xdma_handler::close_c2h()
{
    if (c2h_fd != -1)
        sim_device_close(c2h_path);
    c2h_fd = -1;
}

unsigned int xdma_handler::read_register(int offset, unsigned int* out, unsigned long count)
{
    if (user_fd == -1 || !register_range_ok(offset, out ? count : 1)) {
        log_message(LEVEL_WARN, "Device is not open. Failed to read register: %08x\n", offset);
        return 0;
    }
    return sim_register_read(offset, out, out ? count : 1);
}

void xdma_handler::write_register(int offset, unsigned int value)
{
    if (user_fd == -1 || !register_range_ok(offset, 1)) {
        log_message(LEVEL_WARN, "Device is not open. Failed to write register: %08x\n", offset);
        return;
    }
    sim_register_write(offset, value);
}

ssize_t xdma_handler::read_memory(void* buf, unsigned long size, unsigned long offset)
{
    if (c2h_fd == -1) {
        log_message(LEVEL_WARN, "Device is not open. Failed to read memory: %08lx\n", offset);
        return -2;
    }
    ssize_t got = sim_dma_read(buf, size, offset);
    if (got < 0)
        errno = EIO; // what the driver reports for a failed transfer
    return got;
}
