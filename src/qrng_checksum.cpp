// The integrity check's window of recent block checksums.
#include "qrng_checksum.h"

unsigned long checksum_window::add(uint32_t checksum, uint32_t address, uint32_t& previous_address)
{
    if (order.size() < size) {
        order.push_back(checksum);
    } else {
        // The oldest check leaves the window.
        auto oldest = seen.find(order[next]);
        if (oldest != seen.end() && --oldest->second.count == 0)
            seen.erase(oldest);
        order[next] = checksum;
        next = (next + 1) % size;
    }
    occurrences& o = seen[checksum];
    previous_address = o.last_address;
    o.last_address = address;
    return ++o.count;
}
