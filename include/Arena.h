// Memory that the graph hands out by bumping a pointer and takes back all
// at once when it is closed: the texts and input lists of its nodes. Blocks
// are taken as they fill, so fresh memory is touched only as far as it is
// used. A closed graph's blocks are kept, up to a bound, for the next graph
// of the process: the C library would return their memory to the system
// and the next graph would pay for it again in page faults. Graphs are made
// and closed under the library's lock (EntryLock.h).
#ifndef DFQ_ARENA_H
#define DFQ_ARENA_H

#include <cstddef>
#include <memory>
#include <vector>

namespace dfq {

class Arena {
 public:
  Arena() = default;
  ~Arena() {
    std::vector<std::unique_ptr<char[]>> &kept = spares();
    for (std::unique_ptr<char[]> &block : blocks)
      if (kept.size() < kSparesKept) kept.push_back(std::move(block));
  }
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;

  // `size` bytes aligned as a pointer; never null.
  void *allocate(std::size_t size) {
    size = (size + kAlign - 1) & ~(kAlign - 1);
    if (size > left) {
      // A large text has a block of its own; the current one goes on.
      if (size > kBlock / 4) {
        large.push_back(std::make_unique_for_overwrite<char[]>(size));
        return large.back().get();
      }
      next = takeBlock();
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

  static constexpr std::size_t kSparesKept = 512;  // 32 MB

  // The blocks closed graphs left, never destroyed: a graph may be closed
  // while the process ends.
  static std::vector<std::unique_ptr<char[]>> &spares() {
    static auto *kept = new std::vector<std::unique_ptr<char[]>>();
    return *kept;
  }

  char *takeBlock() {
    std::vector<std::unique_ptr<char[]>> &kept = spares();
    if (kept.empty()) {
      blocks.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
    } else {
      blocks.push_back(std::move(kept.back()));
      kept.pop_back();
    }
    return blocks.back().get();
  }

  std::vector<std::unique_ptr<char[]>> blocks;  // of kBlock bytes
  std::vector<std::unique_ptr<char[]>> large;   // a text each
  char *next = nullptr;
  std::size_t left = 0;
};

}  // namespace dfq

#endif
