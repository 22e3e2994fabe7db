// Error values that cross the engine boundary.
//
// The engine never throws: loading and the special-token build return a
// `Result<T>` carrying either a value or an error message, and the encode and
// decode paths return an `InternalCheck` that is null unless an internal
// invariant broke or memory ran out.
// The Python module turns both into Python exceptions.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quorvane {

struct Error {
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  const std::string& error() const { return std::get<1>(v_).message; }

 private:
  std::variant<T, Error> v_;
};

// Success of an operation whose only result is "it worked".
struct Unit {};

// Null when every internal invariant held; otherwise a static text naming the
// broken one. Valid input never produces a non-null value, except kOutOfMemory.
using InternalCheck = const char*;

// The check of an engine call that could not allocate; the call's outputs are
// then unspecified, the model untouched. Compared by address.
inline constexpr char kOutOfMemoryText[] = "out of memory";
inline constexpr InternalCheck kOutOfMemory = kOutOfMemoryText;
// A C++ exception other than an allocation failure reached an entry point.
inline constexpr InternalCheck kUnexpectedException = "an engine call raised a C++ exception";

}  // namespace quorvane
