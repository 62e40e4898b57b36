// First-in first-out ring buffer that grows when full; the frame history of the buffered
// background synthesizers. Elements are stored by assignment, so images share their planes.
#ifndef PIXKIT_CONTAINERS_QUEUE_H
#define PIXKIT_CONTAINERS_QUEUE_H

#include <algorithm>
#include <cassert>
#include <memory>

namespace pixkit {

template <class T>
class Queue {
 public:
  Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  void Append(const T& t) {
    if (d_entries == d_size) Enlarge();
    d_array[(d_first + d_entries) % d_size] = t;
    d_entries++;
  }

  const T& AskHead() const {
    assert(!IsEmpty());
    assert(d_first<d_size);
    return d_array[d_first];
  }

  const T& AskFromHead(unsigned long idx) const {
    assert(!IsEmpty());
    assert(idx<(unsigned long)d_entries);
    return d_array[(d_first + idx) % d_size];
  }

  // The slot lets go of the removed element at once: a frame's planes are freed as soon as no
  // one else holds them.
  void RemoveHead() {
    assert(!IsEmpty());
    d_array[d_first] = T();
    d_first = (d_first + 1) % d_size;
    d_entries--;
  }

  int AskSize() const { return d_entries; }
  bool IsEmpty() const { return d_entries == 0; }
  int AskCapacity() const { return d_size; }

 private:
  void Enlarge() {
    const int newsize = std::max({2 * d_size, d_size + 10, 50});
    assert(newsize>d_size);
    std::unique_ptr<T[]> array(new T[size_t(newsize)]);
    for (int i = 0; i < d_entries; i++) array[i] = d_array[(i + d_first) % d_size];
    d_array = std::move(array);
    d_size = newsize;
    d_first = 0;
  }

  std::unique_ptr<T[]> d_array;
  int d_size = 0;
  int d_first = -1;
  int d_entries = 0;
};

}  // namespace pixkit

#endif
