#include "input/checked_json.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <vector>

namespace qmx::json {
namespace {

// Finds a NUL in any key or string, walking the tree without recursion so the
// walk's stack use does not depend on the document.
bool FindNul(const Json::Value& root, std::string& where) {
  struct Item {
    const Json::Value* v;
    std::string path;
  };
  std::vector<Item> todo{{&root, ""}};
  while (!todo.empty()) {
    Item it = std::move(todo.back());
    todo.pop_back();
    const Json::Value& v = *it.v;
    if (v.isString()) {
      const char* b = nullptr;
      const char* e = nullptr;
      if (v.getString(&b, &e) && std::string(b, e).find('\0') != std::string::npos) {
        where = it.path.empty() ? "document" : it.path;
        return true;
      }
    } else if (v.isObject()) {
      for (auto m = v.begin(); m != v.end(); ++m) {
        const std::string key = m.name();
        if (key.find('\0') != std::string::npos) {
          where = (it.path.empty() ? std::string("document") : it.path) + " (a key)";
          return true;
        }
        todo.push_back({&*m, Path(it.path, key.c_str())});
      }
    } else if (v.isArray()) {
      for (Json::ArrayIndex i = 0; i < v.size(); ++i) todo.push_back({&v[i], Path(it.path, i)});
    }
  }
  return false;
}

std::string OneLine(std::string s) {
  for (char& c : s) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

bool Parse(const std::string& text, const std::string& source, Json::Value& out, std::string& error,
           const Limits& limits) {
  if (text.size() > limits.max_bytes) {
    error = source + ": longer than " + std::to_string(limits.max_bytes) + " bytes";
    return false;
  }
  // jsoncpp takes a NUL byte for the end of the text: what follows it would
  // pass unread.
  if (text.find('\0') != std::string::npos) {
    error = source + ": a NUL byte in the text";
    return false;
  }
  Json::CharReaderBuilder builder;
  builder["allowComments"] = true;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  builder["allowSpecialFloats"] = false;
  builder["stackLimit"] = limits.max_depth;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errs;
  bool ok = false;
  try {
    ok = reader->parse(text.data(), text.data() + text.size(), &value, &errs);
  } catch (const std::exception&) {
    // jsoncpp reports its stack limit by throwing.
    error = source + ": nested deeper than " + std::to_string(limits.max_depth) + " levels";
    return false;
  }
  if (!ok) {
    error = source + ": not valid JSON: " + OneLine(errs);
    return false;
  }
  std::string where;
  if (FindNul(value, where)) {
    error = source + ": " + where + ": a NUL character inside a string";
    return false;
  }
  out = std::move(value);
  return true;
}

bool ReadFile(const std::string& path, Json::Value& out, std::string& error, const Limits& limits) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::string text;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<size_t>(in.gcount()));
    if (text.size() > limits.max_bytes) {
      error = path + ": longer than " + std::to_string(limits.max_bytes) + " bytes";
      return false;
    }
  }
  if (in.bad()) {
    error = path + ": cannot be read";
    return false;
  }
  return Parse(text, path, out, error, limits);
}

const Json::Value& Member(const Json::Value& v, const char* key) {
  static const Json::Value kNull;
  if (!v.isObject()) return kNull;
  const Json::Value* m = v.find(key, key + std::char_traits<char>::length(key));
  return m != nullptr ? *m : kNull;
}

bool Has(const Json::Value& v, const char* key) {
  return v.isObject() && v.find(key, key + std::char_traits<char>::length(key)) != nullptr;
}

bool ToInt64(const Json::Value& v, int64_t& out) {
  switch (v.type()) {
    case Json::intValue:
      out = v.asInt64();
      return true;
    case Json::uintValue:
      if (v.asUInt64() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
      out = static_cast<int64_t>(v.asUInt64());
      return true;
    case Json::realValue: {
      const double d = v.asDouble();
      // [-2^63, 2^63): both bounds are exact doubles.
      if (!std::isfinite(d) || d != std::floor(d) || d < -9223372036854775808.0 ||
          d >= 9223372036854775808.0) {
        return false;
      }
      out = static_cast<int64_t>(d);
      return true;
    }
    default:
      return false;
  }
}

bool ToUInt64(const Json::Value& v, uint64_t& out) {
  switch (v.type()) {
    case Json::intValue:
      if (v.asInt64() < 0) return false;
      out = static_cast<uint64_t>(v.asInt64());
      return true;
    case Json::uintValue:
      out = v.asUInt64();
      return true;
    case Json::realValue: {
      const double d = v.asDouble();
      if (!std::isfinite(d) || d != std::floor(d) || d < 0 || d >= 18446744073709551616.0) {
        return false;
      }
      out = static_cast<uint64_t>(d);
      return true;
    }
    default:
      return false;
  }
}

bool ToIntIn(const Json::Value& v, int64_t lo, int64_t hi, int64_t& out) {
  int64_t n = 0;
  if (!ToInt64(v, n) || n < lo || n > hi) return false;
  out = n;
  return true;
}

bool ToUInt32(const Json::Value& v, uint32_t& out) {
  int64_t n = 0;
  if (!ToIntIn(v, 0, std::numeric_limits<uint32_t>::max(), n)) return false;
  out = static_cast<uint32_t>(n);
  return true;
}

bool ToDouble(const Json::Value& v, double& out) {
  if (!v.isNumeric() || v.isBool()) return false;
  const double d = v.asDouble();
  if (!std::isfinite(d)) return false;
  out = d;
  return true;
}

bool ToString(const Json::Value& v, std::string& out) {
  if (!v.isString()) return false;
  out = v.asString();
  return true;
}

bool ToBool(const Json::Value& v, bool& out) {
  if (!v.isBool()) return false;
  out = v.asBool();
  return true;
}

std::string Path(const std::string& parent, const char* key) {
  return parent.empty() ? std::string(key) : parent + "." + key;
}

std::string Path(const std::string& parent, Json::ArrayIndex index) {
  return parent + "[" + std::to_string(index) + "]";
}

namespace {
std::string Written(const Json::Value& v, bool utf8) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = utf8;
  w["precision"] = 15;
  return Json::writeString(w, v);
}
}  // namespace

std::string Compact(const Json::Value& v) { return Written(v, true); }
std::string CompactAscii(const Json::Value& v) { return Written(v, false); }

}  // namespace qmx::json
