#pragma once

// Reference counting of the simulated audio objects. Every object counts its own holders and
// reports each AddRef and Release to the ledger of its machine, so a test can read how many
// references of each kind are alive and whether anything was released once too often. The
// objects themselves live as long as their machine; a reference count of zero only means that
// nobody holds them.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/sim/sim_context.h"
#include "platform/status.h"

namespace zelk::sim {

class SimObject {
  public:
    SimObject(SimContext* context, SimKind kind, std::string name)
        : context_(context), kind_(kind), name_(std::move(name)) {
        context_->Register(this);
    }
    SimObject(const SimObject&) = delete;
    SimObject& operator=(const SimObject&) = delete;

    uint32_t refs() const { return refs_.load(); }
    SimKind kind() const { return kind_; }
    const std::string& name() const { return name_; }

  protected:
    ~SimObject() = default;

    uint32_t Acquire() {
        context_->refs.Added(kind_);
        return refs_.fetch_add(1) + 1;
    }

    // A Release without a reference to give back is counted as an over-release and changes
    // nothing else.
    uint32_t Drop() {
        uint32_t current = refs_.load();
        do {
            if (current == 0) {
                context_->refs.OverReleased(kind_);
                return 0;
            }
        } while (!refs_.compare_exchange_weak(current, current - 1));
        context_->refs.Released(kind_);
        return current - 1;
    }

    // Every operation of a simulated object starts here: the call is counted and may be made to
    // fail by the machine's fault rules.
    Status Enter(const char* operation) const { return context_->faults.Check(name_, operation); }
    SimContext* context() const { return context_; }

  private:
    SimContext* context_;
    SimKind kind_;
    std::string name_;
    std::atomic<uint32_t> refs_{0};
};

template <class Interface>
class SimRefCounted : public Interface, public SimObject {
  public:
    SimRefCounted(SimContext* context, SimKind kind, std::string name)
        : SimObject(context, kind, std::move(name)) {}

    uint32_t AddRef() override { return Acquire(); }
    uint32_t Release() override { return Drop(); }

  protected:
    ~SimRefCounted() = default;
};

}  // namespace zelk::sim
