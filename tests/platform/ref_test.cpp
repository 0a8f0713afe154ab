#include "platform/ref.h"

#include <gtest/gtest.h>

namespace zelk {
namespace {

class Counted : public RefCounted {
  public:
    uint32_t AddRef() override { return ++count; }
    uint32_t Release() override { return --count; }
    uint32_t count = 1;
};

TEST(RefTest, HoldsOneReferenceAndGivesItBack) {
    Counted object;
    {
        Ref<Counted> adopted = Ref<Counted>::Adopt(&object);
        EXPECT_EQ(object.count, 1u);
        Ref<Counted> copy = adopted;
        EXPECT_EQ(object.count, 2u);
        Ref<Counted> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(object.count, 2u);
        moved = nullptr;
        EXPECT_EQ(object.count, 1u);
        Ref<Counted> shared = Ref<Counted>::Share(&object);
        EXPECT_EQ(object.count, 2u);
        shared = adopted;  // assigning the same object keeps the count balanced
        EXPECT_EQ(object.count, 2u);
    }
    EXPECT_EQ(object.count, 0u);
}

}  // namespace
}  // namespace zelk
