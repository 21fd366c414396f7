// Helpers of the engine's routines: strided 1-based access to the columns of views, for loops that
// run down a column without recomputing a multi-dimensional offset per element, and allocation by
// braced bounds.
#ifndef KESTRION_ENGINE_ENGINE_INTERNAL_H
#define KESTRION_ENGINE_ENGINE_INTERNAL_H

#include <cstdint>
#include <type_traits>

#include "numerics/array.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/error_record.h"

namespace kestrion::detail {

template <typename T>
struct Strided {
  T* base;
  int64_t stride;
  T& operator[](int64_t i) const { return base[(i - 1) * stride]; }  // i counts from 1
};

template <typename T>
Strided<T> entries(View<T, 1> v) {
  return {v.data(), v.stride(0)};
}

// Column j (counting from 1) of a matrix; never dereferences when the matrix has no rows.
template <typename T>
Strided<T> column(View<T, 2> m, int64_t j) {
  if (m.data() == nullptr) return {nullptr, m.stride(0)};
  return {m.data() + (j - 1) * m.stride(1), m.stride(0)};
}

// The checked allocation with upper bounds written as a braced list ({rows, cols}); the bounds
// take no part in deducing the rank.
template <Kind K, int R>
int32_t obtain(Array<K, R>& array, const std::type_identity_t<Bounds<R>>& upper,
               ErrorRecord& record, const char* description) {
  return alloc<K, R>(array, upper, record, description);
}

}  // namespace kestrion::detail

#endif  // KESTRION_ENGINE_ENGINE_INTERNAL_H
