#include "numerics/sort.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "numerics/dynamic_allocation.h"

namespace kestrion {

namespace {

constexpr std::string_view kSizeMismatch = "Sort array size does not match index array size.";

void report(ErrorRecord& record, ErrorCode code, std::string_view label, std::string_view note) {
  ErrorDetails details;
  details.routine_label = label;
  details.note_1 = note;
  report_error(record, code, details);
}

// Quicksort with median of three and an explicit stack of (left, right) pairs, straight
// insertion for ranges shorter than insertion_limit + 1. Positions are 1-based. `items` provides
// get(i), set(i, value), swap(i, j) and less(a, b) over its values. Returns false when the stack
// would overflow; the items are then partly sorted.
//
// Exempt from the complexity limit: Sedgewick's quicksort (median of three, explicit stack,
// insertion below a cutoff) step for step; split, the order of its assignments and swaps, which
// ties depend on, could no longer be checked against the algorithm.
template <typename Items>
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
bool quicksort(Items& items, int64_t n, int64_t insertion_limit, int32_t* stack,
               int64_t stack_length) {
  int64_t l = 1;
  int64_t r = n;
  int64_t top = 0;
  for (;;) {
    if (r - l < insertion_limit) {
      for (int64_t j = l + 1; j <= r; ++j) {
        const auto x = items.get(j);
        int64_t i = j - 1;
        for (; i >= l; --i) {
          const auto wi = items.get(i);
          if (!items.less(x, wi)) break;
          items.set(i + 1, wi);
        }
        items.set(i + 1, x);
      }
      if (top == 0) return true;
      r = stack[top - 1];
      l = stack[top - 2];
      top -= 2;
      continue;
    }
    const int64_t k = (l + r) / 2;
    items.swap(k, l + 1);
    if (items.less(items.get(r), items.get(l))) items.swap(l, r);
    if (items.less(items.get(r), items.get(l + 1))) items.swap(l + 1, r);
    if (items.less(items.get(l + 1), items.get(l))) items.swap(l, l + 1);
    int64_t i = l + 1;
    int64_t j = r;
    const auto a = items.get(l + 1);
    for (;;) {
      do ++i;
      while (items.less(items.get(i), a));
      do --j;
      while (items.less(a, items.get(j)));
      if (j < i) break;
      items.swap(i, j);
    }
    items.set(l + 1, items.get(j));
    items.set(j, a);
    top += 2;
    if (top > stack_length) return false;
    // The larger part waits on the stack, which bounds the stack by the number of halvings.
    if (r - i + 1 >= j - l) {
      stack[top - 1] = static_cast<int32_t>(r);
      stack[top - 2] = static_cast<int32_t>(i);
      r = j - 1;
    } else {
      stack[top - 1] = static_cast<int32_t>(j - 1);
      stack[top - 2] = static_cast<int32_t>(l);
      l = i;
    }
  }
}

// Values moved together with their input positions.
template <typename T, bool kNanAware>
struct KeyedItems {
  struct Item {
    T key;
    int32_t position;
  };
  Item* w;
  Item get(int64_t i) const { return w[i - 1]; }
  void set(int64_t i, const Item& item) const { w[i - 1] = item; }
  void swap(int64_t i, int64_t j) const { std::swap(w[i - 1], w[j - 1]); }
  // A NaN orders after every number, so the partition scans always meet a sentinel.
  static bool less(const Item& a, const Item& b) {
    if constexpr (kNanAware) {
      return a.key < b.key || (std::isnan(b.key) && !std::isnan(a.key));
    } else {
      return a.key < b.key;
    }
  }
};

// Bare values sorted where they stand. The algorithm's decisions depend on the values alone, so
// the values end in exactly the order that KeyedItems gives them.
template <bool kNanAware>
struct ValueItems {
  double* w;
  double get(int64_t i) const { return w[i - 1]; }
  void set(int64_t i, double value) const { w[i - 1] = value; }
  void swap(int64_t i, int64_t j) const { std::swap(w[i - 1], w[j - 1]); }
  static bool less(double a, double b) {
    if constexpr (kNanAware) {
      return a < b || (std::isnan(b) && !std::isnan(a));
    } else {
      return a < b;
    }
  }
};

// Partition stack from the checked allocation family, as the analysis's seam count expects.
struct SortStack {
  IntArray1 array;
  int32_t obtain(int64_t n, ErrorRecord& record, std::string_view label, int64_t numerator) {
    const int64_t length = (numerator * (n < 0 ? -n : n)) / 7;
    if (alloc(array, {static_cast<int32_t>(length)}, record) != 0) {
      report(record, ErrorCode::kAllocation, label, "Unable to allocate sort stack.");
      return -1;
    }
    return 0;
  }
  int32_t* data() { return array.size() > 0 ? &array(1) : nullptr; }
  int64_t length() const { return array.size(); }
  ~SortStack() {
    ErrorRecord ignored;
    static_cast<void>(dealloc(array, ignored));
  }
};

template <typename T, bool kNanAware>
int32_t sort_keyed(View<T, 1> values, IntVec permutation, int32_t n, bool sort_in_place,
                   int64_t stack_numerator, std::string_view label, ErrorRecord& record) {
  using Items = KeyedItems<T, kNanAware>;
  SortStack stack;
  if (stack.obtain(n, record, label, stack_numerator) != 0) return -1;
  if (n <= 0) return 0;
  std::unique_ptr<typename Items::Item[]> work(new (std::nothrow) typename Items::Item[n]);
  if (work == nullptr) {
    report(record, ErrorCode::kAllocation, label, "Unable to allocate sort work array.");
    return -1;
  }
  const int64_t v0 = values.lower(0);
  const int64_t p0 = permutation.lower(0);
  for (int64_t i = 0; i < n; ++i) work[i] = {values(v0 + i), static_cast<int32_t>(i + 1)};
  Items items{work.get()};
  if (!quicksort(items, n, 7, stack.data(), stack.length())) {
    report(record, ErrorCode::kGeneral, label, "Could not sort: Stack size is too small");
    return -1;
  }
  for (int64_t i = 0; i < n; ++i) permutation(p0 + i) = work[i].position;
  if (sort_in_place) {
    for (int64_t i = 0; i < n; ++i) values(v0 + i) = work[i].key;
  }
  return 0;
}

// 0-based item numbers ordered by a key looked up through them.
template <typename KeyLess>
struct IndirectItems {
  int32_t* w;
  KeyLess key_less;
  int32_t get(int64_t i) const { return w[i - 1]; }
  void set(int64_t i, int32_t item) const { w[i - 1] = item; }
  void swap(int64_t i, int64_t j) const { std::swap(w[i - 1], w[j - 1]); }
  bool less(int32_t a, int32_t b) const { return key_less(a, b); }
};

template <typename T>
int32_t index_sort(View<const T, 1> values, IntVec index, std::string_view label,
                   ErrorRecord& record) {
  if (values.extent(0) != index.extent(0)) {
    report(record, ErrorCode::kGeneral, label, kSizeMismatch);
    return -1;
  }
  const int64_t n = values.extent(0);
  if (n == 0) return 0;
  if (n > INT32_MAX) {
    report(record, ErrorCode::kGeneral, label, "Stack size is too small.");
    return -1;
  }
  std::unique_ptr<int32_t[]> work(new (std::nothrow) int32_t[n]);
  if (work == nullptr) {
    report(record, ErrorCode::kAllocation, label, "Unable to allocate sort work array.");
    return -1;
  }
  for (int64_t i = 0; i < n; ++i) work[i] = static_cast<int32_t>(i);
  const T* base = values.data();
  const int64_t stride = values.stride(0);
  auto key_less = [base, stride](int32_t a, int32_t b) {
    const T x = base[a * stride];
    const T y = base[b * stride];
    if constexpr (std::is_floating_point_v<T>) {
      return x < y || (std::isnan(y) && !std::isnan(x));
    } else {
      return x < y;
    }
  };
  IndirectItems<decltype(key_less)> items{work.get(), key_less};
  int32_t stack[50];
  if (!quicksort(items, n, 15, stack, 50)) {
    report(record, ErrorCode::kGeneral, label, "Stack size is too small.");
    return -1;
  }
  const int64_t i0 = index.lower(0);
  for (int64_t i = 0; i < n; ++i) index(i0 + i) = work[i] + 1;
  return 0;
}

bool view_holds(int64_t extent, int32_t n) {
  return n <= 0 || extent >= n;
}

}  // namespace

int32_t qsort_double(DblVec values, IntVec permutation, int32_t n, bool sort_in_place,
                     ErrorRecord& record) {
  constexpr std::string_view kLabel = "qsort_double in MOD sort";
  if (!view_holds(values.extent(0), n) || !view_holds(permutation.extent(0), n)) {
    report(record, ErrorCode::kGeneral, kLabel, kSizeMismatch);
    return -1;
  }
  bool has_nan = false;
  for (int64_t i = 0; i < n && !has_nan; ++i) has_nan = std::isnan(values(values.lower(0) + i));
  return has_nan
             ? sort_keyed<double, true>(values, permutation, n, sort_in_place, 2, kLabel, record)
             : sort_keyed<double, false>(values, permutation, n, sort_in_place, 2, kLabel, record);
}

int32_t qsort_double(DblVec values, int32_t n, ErrorRecord& record) {
  constexpr std::string_view kLabel = "qsort_double in MOD sort";
  if (!view_holds(values.extent(0), n)) {
    report(record, ErrorCode::kGeneral, kLabel, kSizeMismatch);
    return -1;
  }
  if (n > 0 && values.stride(0) != 1) {
    // A strided view takes the sort with the permutation, which works on a copy.
    std::unique_ptr<int32_t[]> positions(new (std::nothrow) int32_t[n]);
    if (positions == nullptr) {
      report(record, ErrorCode::kAllocation, kLabel, "Unable to allocate sort work array.");
      return -1;
    }
    return qsort_double(values, make_view(positions.get(), n), n, true, record);
  }
  SortStack stack;
  if (stack.obtain(n, record, kLabel, 2) != 0) return -1;
  if (n <= 0) return 0;
  double* w = &values(values.lower(0));
  bool has_nan = false;
  for (int64_t i = 0; i < n && !has_nan; ++i) has_nan = std::isnan(w[i]);
  ValueItems<true> with_nan{w};
  ValueItems<false> plain{w};
  const bool sorted = has_nan ? quicksort(with_nan, n, 7, stack.data(), stack.length())
                              : quicksort(plain, n, 7, stack.data(), stack.length());
  if (!sorted) {
    report(record, ErrorCode::kGeneral, kLabel, "Could not sort: Stack size is too small");
    return -1;
  }
  return 0;
}

int32_t qsort_int(IntVec values, IntVec permutation, int32_t n, bool sort_in_place,
                  ErrorRecord& record) {
  constexpr std::string_view kLabel = "qsort_int in MOD sort";
  if (!view_holds(values.extent(0), n) || !view_holds(permutation.extent(0), n)) {
    report(record, ErrorCode::kGeneral, kLabel, kSizeMismatch);
    return -1;
  }
  return sort_keyed<int32_t, false>(values, permutation, n, sort_in_place, 8, kLabel, record);
}

int32_t qsort_strings(char* strings, int32_t length, IntVec permutation, int32_t n,
                      bool sort_in_place, bool ignore_case, ErrorRecord& record) {
  constexpr std::string_view kLabel = "qsort_strings in MOD sort";
  if (length < 0 || !view_holds(permutation.extent(0), n) ||
      (n > 0 && length > 0 && strings == nullptr)) {
    report(record, ErrorCode::kGeneral, kLabel, kSizeMismatch);
    return -1;
  }
  SortStack stack;
  if (stack.obtain(n, record, kLabel, 2) != 0) return -1;
  if (n <= 0) return 0;
  const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(length);
  std::unique_ptr<int32_t[]> work(new (std::nothrow) int32_t[n]);
  // Lower-case keys when case is ignored; the original strings either way, for the rebuild.
  std::unique_ptr<char[]> keys(ignore_case ? new (std::nothrow) char[bytes] : nullptr);
  std::unique_ptr<char[]> originals(sort_in_place ? new (std::nothrow) char[bytes] : nullptr);
  if (work == nullptr || (ignore_case && bytes > 0 && keys == nullptr) ||
      (sort_in_place && bytes > 0 && originals == nullptr)) {
    report(record, ErrorCode::kAllocation, kLabel, "Unable to allocate sort work array.");
    return -1;
  }
  if (bytes > 0 && sort_in_place) std::memcpy(originals.get(), strings, bytes);
  if (bytes > 0 && ignore_case) {
    std::memcpy(keys.get(), strings, bytes);
    to_lower(keys.get(), static_cast<int64_t>(bytes));
  }
  const char* key_base = ignore_case ? keys.get() : strings;
  for (int32_t i = 0; i < n; ++i) work[i] = i;
  const size_t len = static_cast<size_t>(length);
  auto key_less = [key_base, len](int32_t a, int32_t b) {
    return len > 0 && std::memcmp(key_base + a * len, key_base + b * len, len) < 0;
  };
  IndirectItems<decltype(key_less)> items{work.get(), key_less};
  if (!quicksort(items, n, 7, stack.data(), stack.length())) {
    report(record, ErrorCode::kGeneral, kLabel, "Could not sort: Stack size is too small");
    return -1;
  }
  const int64_t p0 = permutation.lower(0);
  for (int32_t i = 0; i < n; ++i) permutation(p0 + i) = work[i] + 1;
  if (sort_in_place && len > 0) {
    for (int32_t i = 0; i < n; ++i) {
      std::memcpy(strings + i * len, originals.get() + static_cast<size_t>(work[i]) * len, len);
    }
  }
  return 0;
}

int32_t indexx_dble(View<const double, 1> values, IntVec index, ErrorRecord& record) {
  return index_sort(values, index, "indexx_dble in MOD sort", record);
}

int32_t indexx_int(View<const int32_t, 1> values, IntVec index, ErrorRecord& record) {
  return index_sort(values, index, "indexx_int in MOD sort", record);
}

RankValues select_ranks(double* values, int64_t n, int64_t low, int64_t high) {
  const auto less = [](double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); };
  // The high position first; the low one then lies in the part before it.
  std::nth_element(values, values + (high - 1), values + n, less);
  const double high_value = values[high - 1];
  std::nth_element(values, values + (low - 1), values + (high - 1), less);
  return {low < high ? values[low - 1] : high_value, high_value};
}

void swap_double(DblVec v, int64_t i, int64_t j) {
  std::swap(v(i), v(j));
}

void swap_int(IntVec v, int64_t i, int64_t j) {
  std::swap(v(i), v(j));
}

void swap_string(char* strings, int32_t length, int64_t i, int64_t j) {
  if (i == j || length <= 0) return;
  char* a = strings + (i - 1) * length;
  char* b = strings + (j - 1) * length;
  for (int32_t k = 0; k < length; ++k) std::swap(a[k], b[k]);
}

void to_lower(char* text, int64_t length) {
  for (int64_t i = 0; i < length; ++i) {
    if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
  }
}

void to_upper(char* text, int64_t length) {
  for (int64_t i = 0; i < length; ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
  }
}

}  // namespace kestrion
