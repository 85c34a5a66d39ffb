#pragma once

#include <utility>
#include <variant>

#include "common/fatal.h"

namespace vext {

// Holds either a value or the error that an operation reports as an ordinary
// outcome. Reading the side it does not hold throws Fatal.
template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  [[nodiscard]] bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Returns the value; throws Fatal when the result holds an error.
  [[nodiscard]] T& value() & {
    check_value();
    return std::get<0>(v_);
  }
  [[nodiscard]] const T& value() const& {
    check_value();
    return std::get<0>(v_);
  }
  [[nodiscard]] T value() && {
    check_value();
    return std::move(std::get<0>(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Returns the error; throws Fatal when the result holds a value.
  [[nodiscard]] const E& error() const {
    if (ok()) throw Fatal("Result holds no error");
    return std::get<1>(v_);
  }

 private:
  void check_value() const {
    if (!ok()) throw Fatal("Result holds an error, not a value");
  }
  std::variant<T, E> v_;
};

}  // namespace vext
