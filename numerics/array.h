// Column-major arrays with a lower bound per dimension, as every library routine sees them.
//
// View<T, R> is a non-owning window (pointer, lower bounds, extents, strides); it is cheap to copy
// and is what routines take as arguments. Array<K, R> owns its storage and is obtained and
// released only through the checked allocation family of dynamic_allocation.h.
#ifndef KESTRION_NUMERICS_ARRAY_H
#define KESTRION_NUMERICS_ARRAY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrion {

// Element kinds of the allocation family: int (int32), dbl (double), str (fixed-length text),
// log (32-bit logical).
enum class Kind { Int, Dbl, Str, Log };

// A 32-bit logical distinct from int32_t so that log arrays are their own kind.
struct Logical {
  int32_t value = 0;
  Logical() = default;
  constexpr Logical(bool b) : value(b ? 1 : 0) {}         // NOLINT(google-explicit-constructor)
  constexpr operator bool() const { return value != 0; }  // NOLINT(google-explicit-constructor)
};

template <Kind K>
struct ElementOf;
template <>
struct ElementOf<Kind::Int> {
  using type = int32_t;
};
template <>
struct ElementOf<Kind::Dbl> {
  using type = double;
};
template <>
struct ElementOf<Kind::Log> {
  using type = Logical;
};
// A str element is a run of element_length chars; storage is char, indexed per element.
template <>
struct ElementOf<Kind::Str> {
  using type = char;
};

// The one strided view of the library. Element (i1, ..., iR) sits at
// data()[sum over d of (i_d - lower(d)) * stride(d)]; the lower bounds are folded into one offset
// when the view is made, so an access costs what hand-written 1-based pointer arithmetic does.
template <typename T, int R>
class View {
  static_assert(R >= 1 && R <= 7);

 public:
  View() = default;
  View(T* data, const std::array<int32_t, R>& lower, const std::array<int64_t, R>& extent,
       const std::array<int64_t, R>& stride)
      : data_(data), lower_(lower), extent_(extent), stride_(stride) {
    for (int d = 0; d < R; ++d) origin_ -= int64_t{lower_[d]} * stride_[d];
  }

  // A contiguous column-major block with all lower bounds 1.
  static View column_major(T* data, const std::array<int64_t, R>& extent) {
    std::array<int32_t, R> lower;
    std::array<int64_t, R> stride;
    int64_t s = 1;
    for (int d = 0; d < R; ++d) {
      lower[d] = 1;
      stride[d] = s;
      s *= extent[d];
    }
    return View(data, lower, extent, stride);
  }

  // Implicit conversion to a view of const elements.
  operator View<const T, R>() const {  // NOLINT(google-explicit-constructor)
    return View<const T, R>(data_, lower_, extent_, stride_);
  }

  template <typename... I>
  T& operator()(I... index) const {
    static_assert(sizeof...(I) == R, "one index per dimension");
    const int64_t idx[] = {static_cast<int64_t>(index)...};
    int64_t offset = origin_;
    for (int d = 0; d < R; ++d) offset += idx[d] * stride_[d];
    return data_[offset];
  }

  // Column j of a matrix as a vector with the matrix's row bounds. The data pointer is only
  // moved when the matrix has rows, so a matrix without rows never forms an out-of-range pointer.
  View<T, 1> column(int64_t j) const {
    static_assert(R == 2, "columns are taken of matrices");
    T* start = data_;
    if (data_ != nullptr && extent_[0] > 0) start += (j - lower_[1]) * stride_[1];
    return View<T, 1>(start, {lower_[0]}, {extent_[0]}, {stride_[0]});
  }

  // The same elements seen with every lower bound 1.
  View one_based() const {
    std::array<int32_t, R> lower;
    lower.fill(1);
    return View(data_, lower, extent_, stride_);
  }

  T* data() const { return data_; }
  int32_t lower(int d) const { return lower_[d]; }
  int64_t extent(int d) const { return extent_[d]; }
  int64_t upper(int d) const { return lower_[d] + extent_[d] - 1; }
  int64_t stride(int d) const { return stride_[d]; }
  int64_t size() const {
    int64_t n = 1;
    for (int d = 0; d < R; ++d) n *= extent_[d];
    return n;
  }

 private:
  T* data_ = nullptr;
  int64_t origin_ = 0;  // offset of the element with every index 0
  std::array<int32_t, R> lower_{};
  std::array<int64_t, R> extent_{};
  std::array<int64_t, R> stride_{};
};

// Contiguous column-major view with lower bounds 1 over caller-owned memory.
template <int R, typename T>
View<T, R> make_view(T* data, const std::array<int64_t, R>& extent) {
  return View<T, R>::column_major(data, extent);
}
template <typename T>
View<T, 1> make_view(T* data, int64_t n) {
  return View<T, 1>::column_major(data, {n});
}
template <typename T>
View<T, 2> make_view(T* data, int64_t rows, int64_t cols) {
  return View<T, 2>::column_major(data, {rows, cols});
}

template <Kind K, int R>
class Array {
  static_assert(R >= 1 && R <= 7);
  static_assert(K != Kind::Log || R <= 3, "log arrays have at most three dimensions");

 public:
  using Element = typename ElementOf<K>::type;

  Array() = default;
  // str arrays only: the element length every element of the array has.
  explicit Array(int32_t element_length) : element_length_(element_length) {}
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;

  bool allocated() const { return allocated_; }
  int32_t element_length() const { return element_length_; }
  int32_t lower(int d) const { return view_.lower(d); }
  int64_t extent(int d) const { return view_.extent(d); }
  int64_t upper(int d) const { return view_.upper(d); }
  int64_t size() const { return allocated_ ? view_.size() : 0; }
  Element* data() const { return view_.data(); }

  // Element access for int, dbl and log arrays.
  template <typename... I>
  Element& operator()(I... index) const {
    static_assert(K != Kind::Str, "use element() for str arrays");
    return view_(index...);
  }
  // Start of element `index` of a str array (element_length() chars, blank-padded, no NUL).
  template <typename... I>
  char* element(I... index) const {
    static_assert(K == Kind::Str);
    return &view_(index...);
  }

  View<Element, R> view() const { return view_; }
  operator View<Element, R>() const { return view_; }        // NOLINT(google-explicit-constructor)
  operator View<const Element, R>() const { return view_; }  // NOLINT(google-explicit-constructor)

  // Used by the allocation family only.
  void adopt(std::unique_ptr<Element[]> storage, const std::array<int32_t, R>& lower,
             const std::array<int64_t, R>& extent) {
    storage_ = std::move(storage);
    std::array<int64_t, R> stride;
    int64_t s = (K == Kind::Str) ? element_length_ : 1;
    for (int d = 0; d < R; ++d) {
      stride[d] = s;
      s *= extent[d];
    }
    view_ = View<Element, R>(storage_.get(), lower, extent, stride);
    allocated_ = true;
  }
  void reset() {
    storage_.reset();
    view_ = View<Element, R>();
    allocated_ = false;
  }

 private:
  std::unique_ptr<Element[]> storage_;
  View<Element, R> view_;
  bool allocated_ = false;
  int32_t element_length_ = 1;
};

using IntArray1 = Array<Kind::Int, 1>;
using IntArray2 = Array<Kind::Int, 2>;
using DblArray1 = Array<Kind::Dbl, 1>;
using DblArray2 = Array<Kind::Dbl, 2>;
using DblArray3 = Array<Kind::Dbl, 3>;
using LogArray1 = Array<Kind::Log, 1>;
using StrArray1 = Array<Kind::Str, 1>;

using DblVec = View<double, 1>;
using DblMat = View<double, 2>;
using ConstDblVec = View<const double, 1>;
using ConstDblMat = View<const double, 2>;
using IntVec = View<int32_t, 1>;
using ConstIntVec = View<const int32_t, 1>;

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_ARRAY_H
