#include "view/alarm_names.h"

#include <json/value.h>

#include <cstdio>
#include <string>

#include "input/checked_json.h"

namespace qmx::view {
namespace {

// The English file, bytes as they are in data/alarm-names/en.json.
const unsigned char kEnglish[] = {
#include "alarm_names_en.inc"
};

// Words every language file gives: the kinds of unit, the parts the rows may
// name, and what joins the pieces of a place.
const char* const kNeededWords[] = {"separator", "controller", "unit",   "ac",  "rectifier",
                                    "dc",        "input",      "module", "fuse"};

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The first decimal number in a text (at most nine digits, so it fits), or 0.
int FirstNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] < '0' || text[i] > '9')) ++i;
  int n = 0;
  for (int digits = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 9;
       ++i, ++digits)
    n = n * 10 + (text[i] - '0');
  return n;
}

// The kind of unit a point's key belongs to, for a unit the images have not
// told about yet.
std::string KindOfKey(const std::string& key) {
  if (StartsWith(key, "AC_") || StartsWith(key, "p40_44_")) return "ac";
  if (StartsWith(key, "DC_")) return "dc";
  if (StartsWith(key, "RC_")) return "rectifier";
  return "unknown";
}

bool ReadText(const Json::Value& obj, const char* member, const std::string& where, bool needed,
              std::string& out, std::string& error) {
  const Json::Value& v = json::Member(obj, member);
  if (v.isNull() && !needed) return true;
  if (!json::ToString(v, out) || out.empty()) {
    error = json::Path(where, member) + " must be a non-empty string";
    return false;
  }
  return true;
}

}  // namespace

DevicePlaces MakeDevicePlaces(unsigned int device, const std::vector<unsigned int>& unit_ids,
                              const std::map<unsigned int, std::string>& kinds,
                              const std::map<unsigned int, std::string>& names) {
  DevicePlaces p;
  p.device = device;
  std::map<std::string, int> counted;
  for (unsigned int id : unit_ids) {
    if (p.units.count(id) != 0) continue;
    UnitPlace u;
    const auto k = kinds.find(id);
    u.kind = k == kinds.end() ? "unknown" : k->second;
    if (u.kind != "unknown") u.ordinal = ++counted[u.kind];
    const auto n = names.find(id);
    if (n != names.end()) u.site_name = n->second;
    p.units.emplace(id, std::move(u));
  }
  // Units the site names that the controller has not listed yet.
  for (const auto& [id, name] : names)
    if (p.units.count(id) == 0) p.units[id] = UnitPlace{"unknown", 0, name};
  return p;
}

std::shared_ptr<const AlarmNames> AlarmNames::Parse(const std::string& text,
                                                    const std::string& source, std::string& error) {
  Json::Value root;
  if (!json::Parse(text, source, root, error)) return nullptr;
  auto t = std::make_shared<AlarmNames>();
  const auto fail = [&](const std::string& why) {
    error = source + ": " + why;
    return nullptr;
  };
  if (!root.isObject()) return fail("a language file is an object");
  for (const std::string& m : root.getMemberNames())
    if (m != "language" && m != "words" && m != "alarms")
      return fail(m + ": unknown member (language, words, alarms)");
  std::string why;
  if (!ReadText(root, "language", "", true, t->language_, why)) return fail(why);

  const Json::Value& words = json::Member(root, "words");
  if (!words.isObject()) return fail("words must be an object");
  for (const std::string& w : words.getMemberNames()) {
    std::string value;
    if (!json::ToString(words[w], value))
      return fail(json::Path("words", w.c_str()) + " must be a string");
    t->words_[w] = value;
  }
  for (const char* w : kNeededWords)
    if (t->words_.count(w) == 0) return fail(json::Path("words", w) + " is missing");

  const Json::Value& alarms = json::Member(root, "alarms");
  if (!alarms.isArray() || alarms.empty()) return fail("alarms must be a non-empty array");
  for (Json::ArrayIndex i = 0; i < alarms.size(); ++i) {
    const Json::Value& a = alarms[i];
    const std::string where = json::Path("alarms", i);
    if (!a.isObject()) return fail(where + " must be an object");
    for (const std::string& m : a.getMemberNames())
      if (m != "code" && m != "key" && m != "name" && m != "part" && m != "detail" && m != "unit")
        return fail(json::Path(where, m.c_str()) +
                    ": unknown member (code, key, name, part, detail, unit)");
    Row r;
    if (!ReadText(a, "code", where, true, r.code, why) ||
        !ReadText(a, "key", where, false, r.key, why) ||
        !ReadText(a, "name", where, true, r.name, why) ||
        !ReadText(a, "part", where, false, r.part, why) ||
        !ReadText(a, "detail", where, false, r.detail, why) ||
        !ReadText(a, "unit", where, false, r.unit, why))
      return fail(why);
    if (!r.part.empty() && t->words_.count(r.part) == 0)
      return fail(json::Path(where, "part") + ": \"" + r.part + "\" is not one of the words");
    if (!r.unit.empty() && r.unit != "controller")
      return fail(json::Path(where, "unit") + " may only be \"controller\"");
    const auto [it, fresh] = t->index_.emplace(std::make_pair(r.code, r.key), t->rows_.size());
    if (!fresh)
      return fail(where + ": code " + r.code + (r.key.empty() ? "" : " key " + r.key) +
                  " is named before, in " +
                  json::Path("alarms", static_cast<Json::ArrayIndex>(it->second)));
    t->rows_.push_back(std::move(r));
  }
  return t;
}

std::shared_ptr<const AlarmNames> AlarmNames::Load(const std::string& path, std::string& error) {
  // Read up to just past the size bound; Parse refuses a longer text.
  std::string text;
  {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
      error = path + ": cannot be read";
      return nullptr;
    }
    const json::Limits limits;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
      text.append(buf, n);
      if (text.size() > limits.max_bytes) break;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
      error = path + ": cannot be read";
      return nullptr;
    }
  }
  return Parse(text, path, error);
}

std::shared_ptr<const AlarmNames> AlarmNames::English() {
  static const std::shared_ptr<const AlarmNames> english = [] {
    std::string error;
    auto t = Parse(std::string(reinterpret_cast<const char*>(kEnglish), sizeof kEnglish),
                   "data/alarm-names/en.json", error);
    // The build's own file: a test reads the same bytes and fails on them first.
    return t ? t : std::make_shared<AlarmNames>();
  }();
  return english;
}

const AlarmNames::Row* AlarmNames::Find(const std::string& code, const std::string& key) const {
  auto it = index_.find({code, key});
  if (it == index_.end()) it = index_.find({code, std::string()});
  return it == index_.end() ? nullptr : &rows_[it->second];
}

std::string AlarmNames::Word(const std::string& word, int number) const {
  const auto w = words_.find(word);
  std::string s = w == words_.end() ? word : w->second;
  const size_t at = s.find("{}");
  if (at == std::string::npos) return s;
  if (number > 0) return s.replace(at, 2, std::to_string(number));
  // No number known: the word alone.
  s.erase(at, 2);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  return s;
}

void AlarmNames::Describe(const DevicePlaces& places, const store::ActiveAlarm& point,
                          std::string& name, std::string& place) const {
  const Row* r = Find(point.code, point.key);
  if (r != nullptr)
    name = r->name;
  else
    name = point.name.empty() || point.name == "0" ? point.text : point.name;

  UnitPlace u;
  const auto it = places.units.find(point.data_id);
  // The controller's own points share its identifier with the rectifier group.
  const bool on_controller = r != nullptr
                                 ? r->unit == "controller"
                                 : point.data_id == places.device && !StartsWith(point.key, "RC_");
  if (on_controller) {
    u.kind = "controller";
  } else if (it != places.units.end() && it->second.kind != "unknown") {
    u = it->second;
  } else {
    u.kind = KindOfKey(point.key);
    if (it != places.units.end()) u.site_name = it->second.site_name;
  }
  if (!u.site_name.empty() && u.kind != "controller")
    place = u.site_name;
  else if (u.kind == "controller")
    place = Word("controller", 0);
  else if (u.kind == "unknown")
    place = Word("unit", static_cast<int>(point.data_id > 999999999u ? 0 : point.data_id));
  else
    place = Word(u.kind, u.ordinal);

  if (r == nullptr) return;
  const auto w = words_.find("separator");
  const std::string sep = w == words_.end() ? std::string(", ") : w->second;
  if (!r->part.empty()) {
    const int n = FirstNumber(point.text);
    if (n > 0) place += sep + Word(r->part, n);
  }
  if (!r->detail.empty()) place += sep + r->detail;
}

}  // namespace qmx::view
