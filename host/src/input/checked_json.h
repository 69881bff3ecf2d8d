#pragma once

// The one way a JSON document from outside (site file, simulator scenario,
// and the front ends' message payloads and request bodies) becomes a
// Json::Value, and the typed reads that take values out of it.
//
// jsoncpp throws for what a hostile or careless document can easily contain:
// deep nesting ("Exceeded stackLimit"), and asInt64/asUInt/asString on a value
// of the wrong type or range (1e19, 18446744073709551615, []). Nothing here
// throws: parsing returns false with a message naming the source and the
// place, and each typed read returns false for a missing value or one of the
// wrong type or range, leaving `out` as it was.
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmx::json {

struct Limits {
  // Arrays and objects nested deeper than this are refused.
  int max_depth = 64;
  // A longer document is refused before it is parsed.
  std::size_t max_bytes = 4u << 20;
};

// Parses exactly one document. Refused, with `error` starting with `source`:
// invalid JSON, text after the document, a key given twice in one object,
// nesting deeper than limits.max_depth, a NUL character in a key or string
// (it would cut a path such as a serial port's short), a longer text than
// limits.max_bytes. Comments are allowed (site files are edited by hand).
bool Parse(const std::string& text, const std::string& source, Json::Value& out, std::string& error,
           const Limits& limits = Limits());

// Reads and parses a file; `error` names the path.
bool ReadFile(const std::string& path, Json::Value& out, std::string& error,
              const Limits& limits = Limits());

// The member `key` of an object, or a null value when `v` is no object or has
// no such member (jsoncpp asserts on a member lookup in an array).
const Json::Value& Member(const Json::Value& v, const char* key);
bool Has(const Json::Value& v, const char* key);

// Exact integers only: a number with a fraction (11.5), out of range or not a
// number is refused. A real with an integral value in range (3.0) is taken.
bool ToInt64(const Json::Value& v, int64_t& out);
bool ToUInt64(const Json::Value& v, uint64_t& out);
// An integer in [lo, hi].
bool ToIntIn(const Json::Value& v, int64_t lo, int64_t hi, int64_t& out);
bool ToUInt32(const Json::Value& v, uint32_t& out);
// A finite number.
bool ToDouble(const Json::Value& v, double& out);
bool ToString(const Json::Value& v, std::string& out);
bool ToBool(const Json::Value& v, bool& out);

// "devices[2].setting.port": the path of a member for messages.
std::string Path(const std::string& parent, const char* key);
std::string Path(const std::string& parent, Json::ArrayIndex index);

// One line of JSON (no newlines), numbers as short as they read back: the
// one compact writer of the project. Text as UTF-8 (logs, --json, site-file
// messages), or with every non-ASCII character escaped (the HTTP API and
// MQTT payloads, which clients read byte for byte).
std::string Compact(const Json::Value& v);
std::string CompactAscii(const Json::Value& v);

}  // namespace qmx::json
