// A small open-addressing hash map for the library's hot lookups (node ids,
// names): one array of slots, linear probing, no erase. Values stay where
// they are only until the next insert. Clearing keeps the slots, so a map
// that is filled again reuses its memory.
#ifndef DFQ_FLAT_MAP_H
#define DFQ_FLAT_MAP_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
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

// Hashes a short text (a name) eight bytes at a time.
struct TextHash {
  std::size_t operator()(std::string_view text) const {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, text.data() + i, 8);
      h = (h ^ chunk) * 0xff51afd7ed558ccdULL;
    }
    std::uint64_t tail = 0;
    if (i != text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
    return MixHash()((h ^ tail) * 0xc4ceb9fe1a85ec53ULL);
  }
};

template <class Key, class Value, class Hash = std::hash<Key>>
class FlatMap {
 public:
  Value *find(const Key &key) {
    if (slots.empty()) return nullptr;
    const std::size_t h = hash(key);
    for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
      Slot &slot = slots[i];
      if (slot.stamp != current) return nullptr;
      if (slot.tag == tagOf(h) && slot.key == key) return &slot.value;
    }
  }
  const Value *find(const Key &key) const { return const_cast<FlatMap *>(this)->find(key); }

  // The value under `key`, inserted as `value` when there was none.
  Value &insert(const Key &key, Value value) { return insert(key, hash(key), std::move(value)); }
  // The same, with the key's hash already known (it must be `Hash()(key)`).
  Value &insert(const Key &key, std::size_t h, Value value) {
    if ((count + 1) * 4 > slots.size() * 3) grow();
    for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
      Slot &slot = slots[i];
      if (slot.stamp == current && slot.tag == tagOf(h) && slot.key == key) return slot.value;
      if (slot.stamp != current) {
        slot = Slot{key, std::move(value), current, tagOf(h)};
        ++count;
        return slot.value;
      }
    }
  }

  void reserve(std::size_t n) {
    std::size_t want = slots.empty() ? 16 : slots.size();
    while (n * 4 > want * 3) want *= 2;
    if (want != slots.size()) rehash(want);
  }
  std::size_t size() const { return count; }
  std::size_t bytes() const { return slots.capacity() * sizeof(Slot); }

  // Empties the map in constant time: slots stamped by an earlier filling
  // count as free.
  void clear() {
    count = 0;
    if (++current != 0) return;
    for (Slot &slot : slots) slot.stamp = 0;
    current = 1;
  }

  template <class Visit>
  void forEach(Visit visit) const {
    for (const Slot &slot : slots)
      if (slot.stamp == current) visit(slot.key, slot.value);
  }

 private:
  struct Slot {
    Key key{};
    Value value{};
    std::uint32_t stamp = 0;  // in use when equal to `current`
    std::uint32_t tag = 0;    // high bits of the key's hash, compared before the key
  };

  static std::uint32_t tagOf(std::size_t h) { return static_cast<std::uint32_t>(h >> 32); }

  std::size_t mask() const { return slots.size() - 1; }

  void grow() { rehash(slots.empty() ? 16 : slots.size() * 2); }

  void rehash(std::size_t size) {
    std::vector<Slot> old(size);
    old.swap(slots);
    const std::uint32_t filled = current;
    current = 1;
    count = 0;
    for (Slot &slot : old)
      if (slot.stamp == filled) insert(slot.key, std::move(slot.value));
  }

  std::vector<Slot> slots;
  std::size_t count = 0;
  std::uint32_t current = 1;
  Hash hash;
};

}  // namespace dfq

#endif
