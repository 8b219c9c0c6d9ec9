// A working structure kept from one use to the next: fresh memory of the
// sizes the resolver works with is paid for in page faults on first touch,
// so its tables are cleared and reused instead of freed. One structure per
// type is kept, taken and given back under the library's lock
// (EntryLock.h); a use that overlaps another gets a fresh one.
#ifndef DFQ_RECYCLED_H
#define DFQ_RECYCLED_H

#include <cstddef>
#include <memory>
#include <utility>

namespace dfq {

// T provides clear() (keeping its memory) and bytes() (the memory it holds).
template <class T>
class Recycled {
 public:
  Recycled() : value(take()) {}
  ~Recycled() { give(std::move(value)); }
  Recycled(const Recycled &) = delete;
  Recycled &operator=(const Recycled &) = delete;

  T &operator*() { return *value; }
  const T &operator*() const { return *value; }
  T *operator->() { return value.get(); }
  const T *operator->() const { return value.get(); }

 private:
  // Larger structures are released rather than kept for the process's life.
  static constexpr std::size_t kLargestKept = std::size_t{8} << 20;

  static std::unique_ptr<T> &spare() {
    static std::unique_ptr<T> kept;
    return kept;
  }
  static std::unique_ptr<T> take() {
    if (!spare()) return std::make_unique<T>();
    std::unique_ptr<T> kept = std::move(spare());
    kept->clear();
    return kept;
  }
  static void give(std::unique_ptr<T> used) {
    if (used && !spare() && used->bytes() <= kLargestKept) spare() = std::move(used);
  }

  std::unique_ptr<T> value;
};

}  // namespace dfq

#endif
