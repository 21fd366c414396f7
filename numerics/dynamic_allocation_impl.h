// Template definitions of the checked allocation family (included by dynamic_allocation.h).
#ifndef KESTRION_NUMERICS_DYNAMIC_ALLOCATION_IMPL_H
#define KESTRION_NUMERICS_DYNAMIC_ALLOCATION_IMPL_H

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrion {
namespace detail {

// Counts the call for the failure-injection seam and decides whether a request of the given
// extents can be attempted at all: false when the injected failure fires, when the byte count
// overflows 64 bits, or when it exceeds allocation_limit_bytes(). `count` receives the number of
// element_bytes-sized units.
bool admit_request(const int64_t* extent, int rank, uint64_t element_bytes, uint64_t& count);

// Appends the code's lines, the description (if any) and "OCCURRED IN: <label>"; returns -1.
int32_t report_allocation_failure(ErrorRecord& record, ErrorCode code, Kind kind, int rank,
                                  bool release, const char* description);

template <Kind K, int R>
int32_t obtain_storage(Array<K, R>& array, const BoundsArg<R>& lower,
                       const std::type_identity_t<std::array<int64_t, R>>& extent,
                       ErrorRecord& record, const char* description) {
  using Element = typename Array<K, R>::Element;
  // delete[] cannot fail, so the release that precedes a re-allocation never reports code 201.
  array.reset();
  int64_t element_bytes = sizeof(Element);
  if constexpr (K == Kind::Str) element_bytes = array.element_length();
  uint64_t count = 0;
  if (element_bytes < 0 ||
      !admit_request(extent.data(), R, static_cast<uint64_t>(element_bytes), count)) {
    return report_allocation_failure(record, ErrorCode::kAllocation, K, R, false, description);
  }
  // A str element is element_length chars: the units counted above are already chars.
  const uint64_t elements = (K == Kind::Str) ? count * static_cast<uint64_t>(element_bytes) : count;
  std::unique_ptr<Element[]> storage(new (std::nothrow) Element[elements]);
  if (storage == nullptr)
    return report_allocation_failure(record, ErrorCode::kAllocation, K, R, false, description);
  array.adopt(std::move(storage), lower, extent);
  return 0;
}

}  // namespace detail

template <Kind K, int R>
int32_t alloc(Array<K, R>& array, const BoundsArg<R>& upper, ErrorRecord& record,
              const char* description) {
  Bounds<R> lower;
  lower.fill(1);
  return alloc(array, upper, record, lower, description);
}

template <Kind K, int R>
int32_t alloc(Array<K, R>& array, const BoundsArg<R>& upper, ErrorRecord& record,
              const BoundsArg<R>& lower, const char* description) {
  std::array<int64_t, R> extent;
  for (int d = 0; d < R; ++d) {
    extent[d] = upper[d] >= lower[d] ? int64_t{upper[d]} - lower[d] + 1 : 0;
  }
  return detail::obtain_storage(array, lower, extent, record, description);
}

template <Kind K, int R>
int32_t alloc_shape(Array<K, R>& array, const BoundsArg<R>& shape, ErrorRecord& record) {
  Bounds<R> lower;
  lower.fill(1);
  std::array<int64_t, R> extent;
  for (int d = 0; d < R; ++d) extent[d] = shape[d] > 0 ? shape[d] : 0;
  return detail::obtain_storage(array, lower, extent, record, nullptr);
}

template <Kind K, int R>
int32_t dealloc(Array<K, R>& array, ErrorRecord& /*record*/, const char* /*description*/) {
  // Releasing storage cannot fail in this implementation, so no code 201 report is ever made.
  array.reset();
  return 0;
}

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_DYNAMIC_ALLOCATION_IMPL_H
