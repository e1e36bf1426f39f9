#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tarnlink::testing {

// Names a parameterised case after its `name` field.
struct CaseName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& param_info) const {
    return param_info.param.name;
  }
};

}  // namespace tarnlink::testing
