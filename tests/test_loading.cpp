// Loading the plug-in as the controller does, and its provider.
#include <gtest/gtest.h>

#include "plugin.h"

namespace {

TEST(Loading, LoadsWithImmediateBindingAndOffersOneProvider) {
  auto& plugin = qxtest::Plugin::get();
  ASSERT_NE(plugin.handle(), nullptr);
  auto first = plugin.get_providers()();
  auto second = plugin.get_providers()();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first.front().get(), second.front().get());
  EXPECT_NE(std::dynamic_pointer_cast<ZelSPDeviceProvider>(first.front()), nullptr);
}

}  // namespace
