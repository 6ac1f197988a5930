// One owner for one handle: closes it when the owner goes, moves but never
// copies. The close function and the value that means "no handle" are part
// of the type, so each kind of handle gets an owner of its own.
#pragma once

#include <type_traits>
#include <utility>

namespace os {

template <typename Handle, auto CloseFn, Handle Invalid = Handle{}>
class Unique {
 public:
  Unique() = default;
  explicit Unique(Handle h) : h_(h) {}
  Unique(Unique&& other) noexcept : h_(other.Release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  ~Unique() { Reset(); }

  Handle Get() const { return h_; }
  explicit operator bool() const { return h_ != Invalid; }

  // Gives the handle up without closing it.
  Handle Release() { return std::exchange(h_, Invalid); }

  // Closes the handle now, for the places where the order of platform calls
  // matters (a file closed before it is moved), and returns what the close
  // function reports.
  auto Close() {
    using Result = decltype(CloseFn(Invalid));
    Handle h = Release();
    if constexpr (std::is_void_v<Result>) {
      if (h != Invalid) CloseFn(h);
    } else {
      return h != Invalid ? CloseFn(h) : Result{};
    }
  }

  void Reset(Handle h = Invalid) {
    Handle old = std::exchange(h_, h);
    if (old != Invalid) CloseFn(old);
  }

 private:
  Handle h_ = Invalid;
};

}  // namespace os
