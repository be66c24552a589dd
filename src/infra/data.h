// The record every producer hands on: a JSON payload and the name that says what it is.
#pragma once

#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace ostrivel {

struct Data {
  Data(nlohmann::json payloadIn, std::string nameIn)
      : payload(std::move(payloadIn)), name(std::move(nameIn)) {}

  nlohmann::json payload;
  std::string name;
};

}  // namespace ostrivel
