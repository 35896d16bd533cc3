#include "host/cli/StepFile.h"

#include <nlohmann/json.hpp>

#include "host/cli/Messages.h"
#include "host/hosting/OutputWriter.h"
#include "host/hosting/PropertyList.h"
#include "host/platform/HostSystem.h"
#include "scripting/RecordedParameters.h"

namespace {

using nlohmann::json;

// Well-formed UTF-8 only: no overlong forms, no surrogates, nothing above
// U+10FFFF. The JSON library refuses to write anything else, and a path
// that is not text is kept byte for byte as "pathHex" instead.
bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  auto at = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  while (i < s.size()) {
    unsigned char c = at(i);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || s.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((at(i + k) & 0xC0) != 0x80) return false;
    }
    unsigned char second = at(i + 1);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second >= 0x90)) {
      return false;
    }
    i += length;
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

// Thrown from the parser's callback to stop at the first value nested too
// deeply, before any of it is built.
struct NestedTooDeeply {};

json ParseShallow(const std::string& text) {
  json::parser_callback_t limit = [](int depth, json::parse_event_t event, json& /*parsed*/) {
    bool opens = event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
    if (opens && depth >= kDeepestStepNesting) throw NestedTooDeeply{};
    return true;
  };
  return json::parse(text, limit, false);
}

// Keys are the plug-in's four-character codes, which are printable ASCII;
// anything else could not be written back as it was read.
bool IsKeyText(const std::string& key) {
  if (key.size() != 4) return false;
  for (char c : key) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

void Note(std::vector<std::string>* warnings, const std::string& warning) {
  if (warnings != nullptr) warnings->push_back(warning);
}

// The path of the parameter `key`: "path" when it is text, "pathHex" byte
// for byte when it is not.
bool ReadPath(const json& entry, const std::string& key, std::string* path, std::string* error) {
  bool hasPath = entry.contains("path") && entry["path"].is_string();
  bool hasHex = entry.contains("pathHex") && entry["pathHex"].is_string();
  if (hasPath && hasHex) {
    *error = "parameter \"" + key + "\" has both \"path\" and \"pathHex\"";
    return false;
  }
  if (hasPath) {
    *path = entry["path"].get<std::string>();
  } else if (hasHex) {
    if (!FromHex(entry["pathHex"].get<std::string>(), path)) {
      *error = "parameter \"" + key + "\": \"pathHex\" is not hexadecimal";
      return false;
    }
  } else {
    *error = "parameter \"" + key + "\" has no \"path\"";
    return false;
  }
  if (path->empty()) {
    *error = "parameter \"" + key + "\": the path is empty";
    return false;
  }
  // A path ends at its first NUL on the way to the plug-in: cut, it
  // would name another file.
  if (path->find('\0') != std::string::npos) {
    *error = "parameter \"" + key + "\": the path contains a NUL byte";
    return false;
  }
  if (path->size() > 255) {
    *error = "parameter \"" + key + "\": the path is longer than 255 bytes";
    return false;
  }
  return true;
}

// One entry of "parameters", after the `earlier` ones.
bool ReadParameter(const json& entry, const std::vector<StepParameter>& earlier, StepParameter* p,
                   std::string* error, std::vector<std::string>* warnings) {
  if (!entry.is_object() || !entry.contains("key") || !entry["key"].is_string()) {
    *error = "a parameter without a \"key\"";
    return false;
  }
  std::string key = entry["key"].get<std::string>();
  if (!IsKeyText(key)) {
    *error = "parameter key \"" + key + "\" is not four printable ASCII characters";
    return false;
  }
  if (entry.value("type", "") != "alias") {
    *error = "parameter \"" + key + "\" is not an alias (the only kind kept)";
    return false;
  }
  for (const auto& item : entry.items()) {
    if (item.key() != "key" && item.key() != "type" && item.key() != "path" && item.key() != "pathHex") {
      Note(warnings, "parameter \"" + key + "\": unknown field \"" + item.key() + "\" ignored");
    }
  }
  p->key = FourCharCode(key[0], key[1], key[2], key[3]);
  if (!ReadPath(entry, key, &p->alias, error)) return false;
  for (const StepParameter& before : earlier) {
    if (before.key == p->key) {
      *error = "parameter \"" + key + "\" is given twice";
      return false;
    }
  }
  if (p->key != kKeyOutputPath) {
    Note(warnings, "parameter \"" + key + "\" is not one the plug-in reads; passed on as it is");
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

bool StepFromJson(const std::string& text, RecordedStep* step, std::string* error,
                  std::vector<std::string>* warnings) {
  try {
    json document = ParseShallow(text);
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
    for (const auto& item : document.items()) {
      if (item.key() != "format" && item.key() != "version" && item.key() != "parameters") {
        Note(warnings, "unknown field \"" + item.key() + "\" ignored");
      }
    }
    static const json kNoParameters = json::array();
    const json& parameters = document.contains("parameters") ? document.at("parameters") : kNoParameters;
    if (!parameters.is_array()) {
      *error = "\"parameters\" must be a list";
      return false;
    }
    step->parameters.clear();
    for (const json& entry : parameters) {
      StepParameter p;
      if (!ReadParameter(entry, step->parameters, &p, error, warnings)) return false;
      step->parameters.push_back(p);
    }
    return true;
  } catch (const NestedTooDeeply&) {
    *error = "nested more than " + std::to_string(kDeepestStepNesting) + " levels deep, which no step needs";
    return false;
  } catch (const std::exception& e) {
    *error = std::string("cannot be read: ") + e.what();
    return false;
  }
}

bool SaveStep(const std::string& file, const RecordedStep& step, std::string* error) {
  std::string text;
  try {
    text = StepToJson(step);
  } catch (const std::exception& e) {
    *error = Printable(file) + ": " + e.what();
    return false;
  }
  OutputWriter* writer = nullptr;
  if (!OpenOutputWriter(file, &writer, error)) return false;
  if (!WriteOutput(writer, text.data(), text.size(), error)) {
    AbandonOutput(writer);
    return false;
  }
  return CommitOutput(writer, error);
}

bool MayRecordStep(const std::string& file, std::string* error) {
  if (!CheckOutputTarget(file, error)) return false;
  if (DescribePathKind(file) == PathKind::kMissing) return true;
  std::string text;
  std::string why;
  RecordedStep earlier;
  if (!ReadSmallFile(file, kLargestStepFile, &text, &why)) {
    *error = Printable(file) + ": cannot be read to see whether it is a step (" + why + ")";
    return false;
  }
  if (!text.empty() && !StepFromJson(text, &earlier, &why)) {
    *error = Printable(file) + ": is not a step file (" + why + "), so it is not replaced";
    return false;
  }
  return true;
}

bool LoadStep(const std::string& file, RecordedStep* step, std::string* error,
              std::vector<std::string>* warnings) {
  std::string text;
  if (!ReadSmallFile(file, kLargestStepFile, &text, error)) {
    *error = "cannot read the step " + file + ": " + *error;
    return false;
  }
  if (!StepFromJson(text, step, error, warnings)) {
    *error = file + ": " + *error;
    return false;
  }
  return true;
}
