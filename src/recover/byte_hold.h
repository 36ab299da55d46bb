#pragma once

#include <cstddef>
#include <vector>

#include "recover/recover.h"

// Bytes held back until it is known whether they are output: a carrier's first bytes before
// it has shown FSK structure, a weak carrier's bytes until it is known whether it echoes a
// strong one. Its capacity is fixed when it is made; pushing into a full hold gives back the
// oldest byte, which the caller decides on alone.
struct byte_hold {
    std::vector<recovered_byte> slots;
    std::size_t first = 0, count = 0;
};

byte_hold make_byte_hold(std::size_t capacity);

// Forgets what is held.
void clear(byte_hold& h);

// Adds b; when the hold was full, the oldest byte is taken out and returned through `oldest`.
bool push(byte_hold& h, const recovered_byte& b, recovered_byte& oldest);

// The k-th oldest byte held (k < h.count).
const recovered_byte& held_at(const byte_hold& h, std::size_t k);

// Takes the n oldest bytes out (n <= h.count).
void drop_oldest(byte_hold& h, std::size_t n);

// Takes the n newest bytes out (n <= h.count).
void drop_newest(byte_hold& h, std::size_t n);
