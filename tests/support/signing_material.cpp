#include "signing_material.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace signing_testing {
namespace {

Json::Value Load() {
  const char* file = std::getenv("LAUNCHER_TEST_SIGNING");
  if (!file) {
    ADD_FAILURE() << "LAUNCHER_TEST_SIGNING is not set: run the tests through ctest, which makes the keys";
    return Json::Value();
  }
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  Json::Value material;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream source(text.str());
  if (!Json::parseFromStream(builder, source, &material, &errors)) ADD_FAILURE() << "cannot read " << file;
  return material;
}

}  // namespace

const Json::Value& SigningMaterial() {
  static const Json::Value material = Load();
  return material;
}

std::string MaterialText(const char* key) {
  const Json::Value& value = SigningMaterial()[key];
  if (!value.isString()) ADD_FAILURE() << "no " << key << " in the signing material";
  return value.isString() ? value.asString() : "";
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

}  // namespace signing_testing
