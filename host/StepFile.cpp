#include "host/StepFile.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/PropertyList.h"

namespace {

using nlohmann::json;

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 9;
    if (extra == 9 || s.size() - i <= extra) return extra == 0;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string ToHex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool FromHex(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = value(hex[i]), lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

}  // namespace

std::string StepToJson(const RecordedStep& step) {
  json parameters = json::array();
  for (const StepParameter& p : step.parameters) {
    json entry = {{"key", FourCharText(p.key)}, {"type", "alias"}};
    if (ValidUtf8(p.alias)) {
      entry["path"] = p.alias;
    } else {
      entry["pathHex"] = ToHex(p.alias);
    }
    parameters.push_back(entry);
  }
  json document = {{"format", "glyphweave-step"}, {"version", 1}, {"parameters", parameters}};
  return document.dump(2) + "\n";
}

bool StepFromJson(const std::string& text, RecordedStep* step, std::string* error) {
  json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    *error = "not valid JSON";
    return false;
  }
  if (!document.is_object() || document.value("format", "") != "glyphweave-step") {
    *error = "not a glyphweave step (no \"format\": \"glyphweave-step\")";
    return false;
  }
  if (!document.contains("version") || !document["version"].is_number_integer() ||
      document["version"].get<int64_t>() != 1) {
    *error = "unsupported step version (this glyphweave reads version 1)";
    return false;
  }
  const json& parameters = document.contains("parameters") ? document["parameters"] : json::array();
  if (!parameters.is_array()) {
    *error = "\"parameters\" must be a list";
    return false;
  }
  step->parameters.clear();
  for (const json& entry : parameters) {
    if (!entry.is_object() || !entry.contains("key") || !entry["key"].is_string()) {
      *error = "a parameter without a \"key\"";
      return false;
    }
    std::string key = entry["key"].get<std::string>();
    if (key.size() != 4) {
      *error = "parameter key \"" + key + "\" is not four characters";
      return false;
    }
    if (entry.value("type", "") != "alias") {
      *error = "parameter \"" + key + "\" is not an alias (the only kind kept)";
      return false;
    }
    StepParameter p;
    p.key = FourCharCode(key[0], key[1], key[2], key[3]);
    if (entry.contains("path") && entry["path"].is_string()) {
      p.alias = entry["path"].get<std::string>();
    } else if (entry.contains("pathHex") && entry["pathHex"].is_string()) {
      if (!FromHex(entry["pathHex"].get<std::string>(), &p.alias)) {
        *error = "parameter \"" + key + "\": \"pathHex\" is not hexadecimal";
        return false;
      }
    } else {
      *error = "parameter \"" + key + "\" has no \"path\"";
      return false;
    }
    if (p.alias.size() > 255) {
      *error = "parameter \"" + key + "\": the path is longer than 255 bytes";
      return false;
    }
    step->parameters.push_back(p);
  }
  return true;
}

bool SaveStep(const std::string& file, const RecordedStep& step, std::string* error) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    *error = "cannot write " + file;
    return false;
  }
  out << StepToJson(step);
  out.close();
  if (!out) {
    *error = "cannot write " + file;
    return false;
  }
  return true;
}

bool LoadStep(const std::string& file, RecordedStep* step, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "cannot read " + file;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!StepFromJson(text.str(), step, error)) {
    *error = file + ": " + *error;
    return false;
  }
  return true;
}
