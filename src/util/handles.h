// One small RAII family for every kind of system resource the launcher holds: each owner
// releases its resource on every path, and states what "empty" means for its kind.
#pragma once

#include <windows.h>

#include <utility>

namespace lumo {

// Traits give the handle type, the value that means "nothing held", and how to release it.
template <typename Traits>
class UniqueResource {
  using T = typename Traits::Type;
  static T Empty() { return Traits::Empty(); }

 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  T get() const { return value_; }
  bool valid() const { return value_ != Empty(); }
  explicit operator bool() const { return valid(); }

  // The address of the slot, for APIs that fill in a resource; releases what was held.
  T* put() {
    reset();
    return &value_;
  }
  T release() {
    T value = value_;
    value_ = Empty();
    return value;
  }
  void reset() { reset(Empty()); }
  void reset(T value) {
    if (value_ != Empty()) Traits::Close(value_);
    value_ = value;
  }

 private:
  T value_ = Empty();
};

namespace detail {
template <typename H, void (*CloseFn)(H)>
struct NullTraits {
  using Type = H;
  static H Empty() { return nullptr; }
  static void Close(H h) { CloseFn(h); }
};
template <void (*CloseFn)(HANDLE)>
struct InvalidTraits {
  using Type = HANDLE;
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseFn(h); }
};
inline void CloseHandleFn(HANDLE h) { ::CloseHandle(h); }
inline void FindCloseFn(HANDLE h) { ::FindClose(h); }
inline void DeleteObjectFn(HGDIOBJ o) { ::DeleteObject(o); }
inline void DeleteDCFn(HDC dc) { ::DeleteDC(dc); }
inline void DestroyIconFn(HICON i) { ::DestroyIcon(i); }
inline void GlobalFreeFn(HGLOBAL g) { ::GlobalFree(g); }
inline void FreeLibraryFn(HMODULE m) { ::FreeLibrary(m); }
inline void LocalFreeFn(HLOCAL l) { ::LocalFree(l); }
inline void UnmapViewFn(void* v) { ::UnmapViewOfFile(v); }
}  // namespace detail

// Process, thread, token, mutex, event: empty is NULL.
using UniqueHandle = UniqueResource<detail::NullTraits<HANDLE, detail::CloseHandleFn>>;
// Files opened with CreateFile: empty is INVALID_HANDLE_VALUE.
using UniqueFile = UniqueResource<detail::InvalidTraits<detail::CloseHandleFn>>;
using UniqueFind = UniqueResource<detail::InvalidTraits<detail::FindCloseFn>>;
using UniqueGdiObject = UniqueResource<detail::NullTraits<HGDIOBJ, detail::DeleteObjectFn>>;
using UniqueMemoryDC = UniqueResource<detail::NullTraits<HDC, detail::DeleteDCFn>>;
using UniqueIcon = UniqueResource<detail::NullTraits<HICON, detail::DestroyIconFn>>;
using UniqueHGlobal = UniqueResource<detail::NullTraits<HGLOBAL, detail::GlobalFreeFn>>;
using UniqueLibrary = UniqueResource<detail::NullTraits<HMODULE, detail::FreeLibraryFn>>;
using UniqueLocal = UniqueResource<detail::NullTraits<HLOCAL, detail::LocalFreeFn>>;
// A view of a file mapping (MapViewOfFile): empty is NULL.
using UniqueView = UniqueResource<detail::NullTraits<void*, detail::UnmapViewFn>>;

// A registry key. The predefined roots are never closed, so an owner may hold either kind.
class UniqueKey {
 public:
  UniqueKey() = default;
  explicit UniqueKey(HKEY key) : key_(key) {}
  ~UniqueKey() { reset(); }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  UniqueKey(UniqueKey&& other) noexcept : key_(other.release()) {}
  UniqueKey& operator=(UniqueKey&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }
  HKEY* put() {
    reset();
    return &key_;
  }
  HKEY release() {
    HKEY key = key_;
    key_ = nullptr;
    return key;
  }
  void reset(HKEY key = nullptr) {
    if (key_ != nullptr && !IsPredefined(key_)) ::RegCloseKey(key_);
    key_ = key;
  }
  static bool IsPredefined(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
           key == HKEY_USERS || key == HKEY_CURRENT_CONFIG || key == HKEY_PERFORMANCE_DATA;
  }

 private:
  HKEY key_ = nullptr;
};

// A device context borrowed from a window (or the screen, with a null window) by GetDC.
class UniqueWindowDC {
 public:
  explicit UniqueWindowDC(HWND window) : window_(window), dc_(::GetDC(window)) {}
  ~UniqueWindowDC() {
    if (dc_ != nullptr) ::ReleaseDC(window_, dc_);
  }
  UniqueWindowDC(const UniqueWindowDC&) = delete;
  UniqueWindowDC& operator=(const UniqueWindowDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// Both handles of a created process.
struct UniqueProcessInformation {
  PROCESS_INFORMATION info{};
  UniqueProcessInformation() = default;
  ~UniqueProcessInformation() { reset(); }
  UniqueProcessInformation(const UniqueProcessInformation&) = delete;
  UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;
  void reset() {
    if (info.hThread != nullptr) ::CloseHandle(info.hThread);
    if (info.hProcess != nullptr) ::CloseHandle(info.hProcess);
    info = PROCESS_INFORMATION{};
  }
};

// Runs a function when the scope ends, on every path.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() {
    if (active_) f_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  void dismiss() { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};
template <typename F>
ScopeExit<F> MakeScopeExit(F f) {
  return ScopeExit<F>(std::move(f));
}

}  // namespace lumo
