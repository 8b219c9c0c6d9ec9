// Memory that the graph hands out by bumping a pointer and takes back all
// at once when it is closed: the texts and input lists of its nodes. Blocks
// are taken from the heap as they fill, so fresh memory is touched only as
// far as it is used.
#ifndef DFQ_ARENA_H
#define DFQ_ARENA_H

#include <cstddef>
#include <memory>
#include <vector>

namespace dfq {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;

  // `size` bytes aligned as a pointer; never null.
  void *allocate(std::size_t size) {
    size = (size + kAlign - 1) & ~(kAlign - 1);
    if (size > left) {
      // A large text has a block of its own; the current one goes on.
      if (size > kBlock / 4) return take(size);
      next = static_cast<char *>(take(kBlock));
      left = kBlock;
    }
    void *memory = next;
    next += size;
    left -= size;
    return memory;
  }

 private:
  // Nodes, their texts and input lists need no more.
  static constexpr std::size_t kAlign = alignof(void *);
  // Below the size from which the C library maps every block afresh.
  static constexpr std::size_t kBlock = std::size_t{64} << 10;

  void *take(std::size_t length) {
    blocks.push_back(std::make_unique_for_overwrite<char[]>(length));
    return blocks.back().get();
  }

  std::vector<std::unique_ptr<char[]>> blocks;
  char *next = nullptr;
  std::size_t left = 0;
};

}  // namespace dfq

#endif
