#pragma once

#include <cstddef>
#include <vector>

// A growable buffer read from a moving head: consuming only advances the head, and the consumed
// front is erased once it is at least half of the stored values, so a stream that consumes a
// little at a time moves each value a bounded number of times. Emptying keeps the storage.

namespace kavro {

template <class T>
void drop_front(std::vector<T>& values, std::size_t& head, std::size_t count) {
    head += count;
    if (head >= values.size()) {
        values.clear();
        head = 0;
    } else if (head >= values.size() / 2) {
        values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
}

}  // namespace kavro
