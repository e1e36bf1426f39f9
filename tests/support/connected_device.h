// A fixture whose DeviceAccess has one fake instrument open and selected.
#pragma once

#include <gtest/gtest.h>

#include <sstream>

#include "device/device_access.h"
#include "support/fake_platform.h"

namespace tarnlink::testing {

class ConnectedDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.interfaces = {native("dev")};
    const DeviceListEntry entry{1, native("dev")};
    ASSERT_EQ(device_.OpenDevice(entry), kStatusOk);
    ASSERT_EQ(device_.SelectDevice(entry), kStatusOk);
    fake_.calls.clear();
  }
  FakePlatform fake_;
  DeviceAccess device_{fake_};
  std::ostringstream out_;
};

}  // namespace tarnlink::testing
