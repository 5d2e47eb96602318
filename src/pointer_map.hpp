// Open-addressing hash map keyed by object addresses.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace arbolus {

// Interpreter objects are 16-byte aligned, so the low four bits of an
// address carry nothing. The rest is spread by a Fibonacci multiplier (its
// low 32 bits are 0x7F4A7C15) and the table index is taken from the top
// bits of the product, where the multiplication mixes best.
struct PointerHasher {
    static constexpr uint64_t MULTIPLIER = 0x9E3779B97F4A7C15ull;
    uint64_t operator()(uintptr_t address) const noexcept {
        return (static_cast<uint64_t>(address) >> 4) * MULTIPLIER;
    }
};

// Linear probing over a power-of-two table, kept at most half full. Key 0
// marks an empty slot (no object lives at address 0). Entries are never
// removed.
template <class V>
class PointerMap {
public:
    explicit PointerMap(size_t expected = 8) { rehash(capacity_for(expected)); }

    V* find(uintptr_t key) noexcept {
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.key == key) return &s.value;
            if (s.key == 0) return nullptr;
        }
    }

    // The key must be absent.
    V& insert(uintptr_t key, V value) {
        if (2 * (size_ + 1) > slots_.size()) rehash(slots_.size() * 2);
        Slot& s = slots_[free_slot(key)];
        s.key = key;
        s.value = std::move(value);
        ++size_;
        return s.value;
    }

    // Inserts `key` unless it is present: true when it was inserted. One
    // probe where find followed by insert takes two.
    bool insert_if_absent(uintptr_t key, V value) {
        if (2 * (size_ + 1) > slots_.size()) rehash(slots_.size() * 2);
        size_t i = home(key);
        for (; slots_[i].key != 0; i = (i + 1) & mask_) {
            if (slots_[i].key == key) return false;
        }
        slots_[i].key = key;
        slots_[i].value = std::move(value);
        ++size_;
        return true;
    }

    size_t size() const noexcept { return size_; }

    template <class F>
    void for_each(F&& f) {
        for (Slot& s : slots_) {
            if (s.key != 0) f(s.key, s.value);
        }
    }

    // Moves every entry out, leaving the map empty.
    std::vector<std::pair<uintptr_t, V>> take_all() {
        std::vector<std::pair<uintptr_t, V>> out;
        out.reserve(size_);
        for (Slot& s : slots_) {
            if (s.key != 0) {
                out.emplace_back(s.key, std::move(s.value));
                s.key = 0;
            }
        }
        size_ = 0;
        rehash(16);
        return out;
    }

private:
    struct Slot {
        uintptr_t key = 0;
        [[no_unique_address]] V value{};  // an empty V takes no room: a set
    };

    static size_t capacity_for(size_t expected) {
        return std::bit_ceil(expected < 8 ? size_t{16} : expected * 2);
    }

    size_t home(uintptr_t key) const noexcept {
        return static_cast<size_t>(PointerHasher{}(key) >> shift_);
    }

    size_t free_slot(uintptr_t key) const noexcept {
        size_t i = home(key);
        while (slots_[i].key != 0) i = (i + 1) & mask_;
        return i;
    }

    void rehash(size_t capacity) {
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (Slot& s : old) {
            if (s.key != 0) {
                Slot& t = slots_[free_slot(s.key)];
                t.key = s.key;
                t.value = std::move(s.value);
            }
        }
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t size_ = 0;
};

}  // namespace arbolus
