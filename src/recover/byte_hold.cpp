#include "recover/byte_hold.h"

byte_hold make_byte_hold(std::size_t capacity) {
    byte_hold h;
    h.slots.assign(capacity, recovered_byte{});
    return h;
}

void clear(byte_hold& h) {
    h.first = 0;
    h.count = 0;
}

bool push(byte_hold& h, const recovered_byte& b, recovered_byte& oldest) {
    const std::size_t size = h.slots.size();
    if (size == 0) {
        oldest = b;
        return true;
    }
    if (h.count == size) {
        oldest = h.slots[h.first];
        h.slots[h.first] = b;
        h.first = (h.first + 1) % size;
        return true;
    }
    h.slots[(h.first + h.count) % size] = b;
    ++h.count;
    return false;
}

const recovered_byte& held_at(const byte_hold& h, std::size_t k) {
    return h.slots[(h.first + k) % h.slots.size()];
}

void drop_oldest(byte_hold& h, std::size_t n) {
    if (h.slots.empty()) return;
    h.first = (h.first + n) % h.slots.size();
    h.count -= n;
}

void drop_newest(byte_hold& h, std::size_t n) {
    h.count -= n;
}
