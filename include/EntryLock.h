// The library's one lock. Every exported function runs holding it, so calls
// from several threads of the host reach the graph, the error messages, the
// log state and the resolver's kept tables one at a time. It is recursive:
// an entry that calls another entry (dfq_update_node_state_single,
// init_dag through set_log_level) and every record the library writes
// through log_log take it again on the same thread without waiting.
//
// Nothing the library keeps is reachable once the lock is released: outputs
// are copied into the host's buffers, so the working structures the
// resolver keeps between requests need no atomic operations.
#ifndef DFQ_ENTRY_LOCK_H
#define DFQ_ENTRY_LOCK_H

#include <mutex>

namespace dfq {

// Constant-initialised: usable from the first call, whatever the order in
// which the process initialises its globals.
inline constinit std::recursive_mutex entryMutex;

// Held for the whole of one exported call.
class EntryLock {
 public:
  EntryLock() { entryMutex.lock(); }
  ~EntryLock() { entryMutex.unlock(); }
  EntryLock(const EntryLock &) = delete;
  EntryLock &operator=(const EntryLock &) = delete;
};

}  // namespace dfq

#endif
