// STUB: simulated device layer, being written.
#include "xdma.h"
xdma_handler::xdma_handler(std::string p) : prefix(p), user_fd(-1), c2h_fd(-1), user_map(nullptr) {}
xdma_handler::~xdma_handler() = default;
void xdma_handler::open_user() { user_fd = 1; }
void xdma_handler::close_user() { user_fd = -1; }
void xdma_handler::open_c2h() { c2h_fd = 1; }
void xdma_handler::close_c2h() { c2h_fd = -1; }
unsigned int xdma_handler::read_register(int offset, unsigned int*, unsigned long) { return offset == 0x6000 ? 0xDA000102 : 0; }
void xdma_handler::write_register(int, unsigned int) {}
ssize_t xdma_handler::read_memory(void*, unsigned long, unsigned long) { return -1; }
