// A routine's work arrays as one ordered list of {array, bounds, description}: obtained in list
// order through the checked allocation family, released through its release routines in list
// order (or in an order the routine states once), each with its description.
//
// The arrays themselves stay owned by the routine; an array that is still allocated when the
// routine returns early is freed by its own destructor, without a report.
#ifndef KESTRION_NUMERICS_WORK_ARRAYS_H
#define KESTRION_NUMERICS_WORK_ARRAYS_H

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "numerics/array.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/error_record.h"

namespace kestrion {

class WorkArrays {
 public:
  // Room for the largest list of the library (calculateCI's main phase).
  static constexpr int kCapacity = 32;

  // One entry: the array, its upper bounds (lower bounds 1) and its description.
  class Entry {
   public:
    template <Kind K, int R>
    Entry(Array<K, R>& array, const BoundsArg<R>& upper, const char* description)
        : array_(&array),
          description_(description),
          obtain_(&obtain_as<K, R>),
          release_(&release_as<K, R>) {
      static_assert(R <= 3, "work arrays have at most three dimensions");
      for (int d = 0; d < R; ++d) upper_[d] = upper[d];
    }

   private:
    friend class WorkArrays;
    Entry() = default;
    template <Kind K, int R>
    static int32_t obtain_as(void* array, const int32_t* upper, ErrorRecord& record,
                             const char* description) {
      Bounds<R> bounds;
      for (int d = 0; d < R; ++d) bounds[d] = upper[d];
      return alloc(*static_cast<Array<K, R>*>(array), bounds, record, description);
    }
    template <Kind K, int R>
    static int32_t release_as(void* array, ErrorRecord& record, const char* description) {
      return dealloc(*static_cast<Array<K, R>*>(array), record, description);
    }

    void* array_ = nullptr;
    std::array<int32_t, 3> upper_{};
    const char* description_ = nullptr;
    int32_t (*obtain_)(void*, const int32_t*, ErrorRecord&, const char*) = nullptr;
    int32_t (*release_)(void*, ErrorRecord&, const char*) = nullptr;
    bool held_ = false;
  };

  WorkArrays(std::initializer_list<Entry> entries);

  // Every entry in list order; stops at the first failure, whose report the allocation made.
  // A list built with more than kCapacity entries obtains nothing and fails with its own report.
  Status obtain(ErrorRecord& record);
  // Every entry still held, in list order, or in `order` (positions in the list) when given;
  // stops at the first failed release.
  Status release(ErrorRecord& record, std::span<const int> order = {});
  // The given arrays now, in the order given; the rest stay held.
  Status release(ErrorRecord& record, std::initializer_list<const void*> arrays);
  // Releases everything except the given arrays, in list order.
  Status release_all_but(ErrorRecord& record, std::initializer_list<const void*> kept);

 private:
  Status release_entry(Entry& entry, ErrorRecord& record);

  std::array<Entry, kCapacity> entries_{};
  int count_ = 0;
  bool overfull_ = false;
};

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_WORK_ARRAYS_H
