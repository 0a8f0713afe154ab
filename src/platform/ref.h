#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace zelk {

// A platform object whose life is counted by its holders.
class RefCounted {
  public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

  protected:
    ~RefCounted() = default;
};

// Holds exactly one reference to a counted object and gives it back when it goes.
// Engine code never pairs AddRef and Release by hand; it keeps a Ref.
template <class T>
class Ref {
  public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(const Ref& other) : object_(other.object_) {
        if (object_ != nullptr)
            object_->AddRef();
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~Ref() { Reset(); }

    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    // Takes over a reference the caller already owns (a freshly created object, for one).
    static Ref Adopt(T* object) {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    // Takes a new reference of its own.
    static Ref Share(T* object) {
        if (object != nullptr)
            object->AddRef();
        return Adopt(object);
    }

    void Reset() {
        if (T* object = std::exchange(object_, nullptr))
            object->Release();
    }

    T* Get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_ = nullptr;
};

}  // namespace zelk
