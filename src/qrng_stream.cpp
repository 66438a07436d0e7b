// The engine at work: the primary read loop, the block integrity check and the
// monitor thread.
#include "qrng.h"

int qrng_handler::run() { return 0; } // STUB
void qrng_handler::validate_checksum(unsigned int) {}
unsigned int qrng_handler::block_checksum(unsigned int* data, unsigned long count)
{
    unsigned int sum = 0;
    for (unsigned long i = 0; i < count; i++)
        sum ^= data[i];
    return sum;
}
void qrng_handler::throughput_compute() {}
