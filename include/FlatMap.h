// A small open-addressing hash map for the library's hot lookups (node ids,
// names): one array of slots, linear probing, no erase. Values stay where
// they are only until the next insert.
#ifndef DFQ_FLAT_MAP_H
#define DFQ_FLAT_MAP_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace dfq {

// Spreads the bits of an integer key over the whole word.
struct MixHash {
  std::size_t operator()(std::uint64_t x) const {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x);
  }
};

template <class Key, class Value, class Hash = std::hash<Key>>
class FlatMap {
 public:
  Value *find(const Key &key) {
    if (slots.empty()) return nullptr;
    for (std::size_t i = hash(key) & mask();; i = (i + 1) & mask()) {
      Slot &slot = slots[i];
      if (!slot.used) return nullptr;
      if (slot.key == key) return &slot.value;
    }
  }
  const Value *find(const Key &key) const { return const_cast<FlatMap *>(this)->find(key); }

  // The value under `key`, inserted as `value` when there was none.
  Value &insert(const Key &key, Value value) {
    if ((count + 1) * 4 > slots.size() * 3) grow();
    for (std::size_t i = hash(key) & mask();; i = (i + 1) & mask()) {
      Slot &slot = slots[i];
      if (slot.used && slot.key == key) return slot.value;
      if (!slot.used) {
        slot = Slot{key, std::move(value), true};
        ++count;
        return slot.value;
      }
    }
  }

  void reserve(std::size_t n) {
    while (n * 4 > slots.size() * 3) grow();
  }
  std::size_t size() const { return count; }

  template <class Visit>
  void forEach(Visit visit) const {
    for (const Slot &slot : slots)
      if (slot.used) visit(slot.key, slot.value);
  }

 private:
  struct Slot {
    Key key{};
    Value value{};
    bool used = false;
  };

  std::size_t mask() const { return slots.size() - 1; }

  void grow() {
    std::vector<Slot> old(slots.empty() ? 16 : slots.size() * 2);
    old.swap(slots);
    count = 0;
    for (Slot &slot : old)
      if (slot.used) insert(slot.key, std::move(slot.value));
  }

  std::vector<Slot> slots;
  std::size_t count = 0;
  Hash hash;
};

}  // namespace dfq

#endif
