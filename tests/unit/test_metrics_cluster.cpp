#include <gtest/gtest.h>

#include "metrics.h"

TEST(metrics_cluster, zero_uuid_is_always_this_nodes_responsibility) {
  uint8_t zero[16] = {};
  EXPECT_TRUE(metrics_am_i_responsible(1, zero, "cpu", 3));
}
