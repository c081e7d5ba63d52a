// VornLibHandle: one owner for every kind of OS handle. A handle is held by a ScopedHandle whose
// traits name its type, the value that means "nothing held" and the call that releases it; the
// platform files give one line of traits per kind (file, registry key, library, descriptor...).
#pragma once

#include <utility>

template <typename Traits> class ScopedHandle {
public:
  using Type = typename Traits::Type;

  ScopedHandle() = default;
  explicit ScopedHandle(Type value) : FValue(value) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : FValue(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      FValue = other.Release();
    }
    return *this;
  }

  Type Get() const { return FValue; }
  // Where an OS call puts a new handle; what was held is released first.
  Type* Receive() {
    Reset();
    return &FValue;
  }
  explicit operator bool() const { return FValue != Traits::Invalid(); }
  // Gives the handle up without releasing it.
  Type Release() { return std::exchange(FValue, Traits::Invalid()); }
  void Reset() {
    if (FValue != Traits::Invalid())
      Traits::Close(Release());
  }

private:
  Type FValue = Traits::Invalid();
};
