// A per-thread scratch object that stays correct under re-entry: looking up a dict key can
// run Python code (a key's __eq__), which may call into the extension again on the same
// thread while an outer call still uses its scratch. The first user on a thread gets the
// thread's object, kept warm between calls; a nested user gets a fresh one of its own.
#pragma once

#include <memory>

namespace vm::py {

template <class T>
class Scratch {
 public:
  Scratch() {
    Slot& slot = thread_slot();
    if (!slot.busy) {
      slot.busy = true;
      value_ = &slot.value;
    } else {
      owned_ = std::make_unique<T>();
      value_ = owned_.get();
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    if (!owned_) thread_slot().busy = false;
  }

  T& operator*() const noexcept { return *value_; }
  T* operator->() const noexcept { return value_; }

 private:
  struct Slot {
    T value;
    bool busy = false;
  };
  static Slot& thread_slot() {
    thread_local Slot slot;
    return slot;
  }

  T* value_;
  std::unique_ptr<T> owned_;
};

}  // namespace vm::py
