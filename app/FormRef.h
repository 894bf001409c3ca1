// The shared reference of one window: created on first use, loaded on first use of the window,
// created afresh after the reference was cleared, and tied to the rest of the station when created.
#pragma once

#include <QPointer>

namespace tav {

template <class T>
class FormRef {
 public:
  // `connect` ties every new instance to the rest of the station before anything else uses it.
  explicit FormRef(void (*connect)(T&) = nullptr) : connect_(connect) {}

  // The instance, created when there is none; not loaded by this.
  T* instance() {
    if (!ptr_) {
      ptr_ = new T();
      if (connect_) connect_(*ptr_);
    }
    return ptr_;
  }
  // Use of the window: creates and loads it.
  T* operator->() {
    T* w = instance();
    w->load();
    return w;
  }
  T& operator*() { return *operator->(); }
  bool exists() const { return !ptr_.isNull(); }
  bool isLoaded() const { return ptr_ && ptr_->isLoaded(); }
  // Drops the reference; the next use creates a new instance.
  void clear() { ptr_.clear(); }
  // The instance if one exists, else nullptr; creates nothing.
  T* peek() const { return ptr_.data(); }
  // The instance if it is loaded, else nullptr; creates nothing.
  T* loaded() const { return isLoaded() ? ptr_.data() : nullptr; }

 private:
  void (*connect_)(T&);
  QPointer<T> ptr_;
};

}  // namespace tav
