#include <gtest/gtest.h>

#include "velmarinthos_tavkin.h"

namespace {

// The only test of its binary, so these are the first states of the process.
TEST(FusionStateHandles, FirstHandleOfTheProcessIs1000000) {
  EXPECT_EQ(vm_fusion_state_create_v1(), 1000000u);
  EXPECT_EQ(vm_fusion_state_create_v1(), 1000001u);
  EXPECT_EQ(vm_fusion_state_free_v1(1000000), 1);
  EXPECT_EQ(vm_fusion_state_free_v1(1000001), 1);
}

}  // namespace
