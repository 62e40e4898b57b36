// Intrusive reference count for objects whose life is ended by their last holder
// (the X server connection and its handles).
#ifndef PIXKIT_UTILITY_REFCNTR_H
#define PIXKIT_UTILITY_REFCNTR_H

#include <cassert>
#include <cstdint>

namespace pixkit {

// Objects of derived classes must be created with new: the last DecrRef deletes them.
class ReferenceCntr {
 public:
  ReferenceCntr() = default;
  ReferenceCntr(const ReferenceCntr&) = delete;
  ReferenceCntr& operator=(const ReferenceCntr&) = delete;
  virtual ~ReferenceCntr() {}

  void IncrRef() { d_refcnt++; }

  // Drops one holder; returns true when that was the last one and the object is gone.
  bool DecrRef() {
    d_refcnt--;
    assert(d_refcnt>=0);
    if (d_refcnt == 0) {
      delete this;
      return true;
    }
    return false;
  }

  int32_t AskRefCount() const { return d_refcnt; }

 private:
  int32_t d_refcnt = 0;
};

}  // namespace pixkit

#endif
