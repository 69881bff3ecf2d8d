#pragma once

// Stand-in units for driving the controller's dispatch: each parser records
// the length it was handed and returns a scripted count.
#include <deque>
#include <string>
#include <vector>

#include "qmx/qmx_spdevice.h"

namespace k417t_test {

struct CallLog {
  std::vector<std::string> calls;  // "ac11.40_41:30", "rc.round", ...
};

class FakeUnit : public QMXSPDevice {
 public:
  using QMXSPDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char*, int) override { return true; }
  void RoundDone() override { Note("round", -1); }
  // The controller's verdict on the answer a parser was given.
  void HoldAnswer() { ++holds; }
  void CommitAnswer() { ++commits; }
  void DropAnswer() { ++drops; }
  int holds = 0, commits = 0, drops = 0;

  // Next results of the parsers; when empty the parser consumes `fixed`
  // bytes, or everything it was given when `fixed` is negative.
  std::deque<int> script;
  int fixed = -2;
  CallLog* log = nullptr;
  std::string name;

 protected:
  int Parse(const char* what, const unsigned char* p, int length) {
    Note(what, length);
    if (length > 0) touched += p[0] + p[length - 1];  // reads inside the slice only
    if (!script.empty()) {
      const int r = script.front();
      script.pop_front();
      return r;
    }
    return fixed >= 0 ? fixed : length;
  }
  void Note(const std::string& what, int length) {
    if (log != nullptr)
      log->calls.push_back(name + "." + what + (length >= 0 ? ":" + std::to_string(length) : ""));
  }
  unsigned touched = 0;
};

class FakeAC : public FakeUnit {
 public:
  FakeAC() { name = "ac"; }
  int parse40_41(const unsigned char* p, int n) { return Parse("40_41", p, n); }
  int parse40_43(const unsigned char* p, int n) { return Parse("40_43", p, n); }
  int parse40_44(const unsigned char* p, int n) { return Parse("40_44", p, n); }
};

class FakeDC : public FakeUnit {
 public:
  explicit FakeDC(const std::string& model = "") : model(model) { name = "dc"; }
  int parse42_41(const unsigned char* p, int n) { return Parse("42_41", p, n); }
  int parse42_44(const unsigned char* p, int n) { return Parse("42_44", p, n); }
  std::string model;
};

class FakeRC : public FakeUnit {
 public:
  FakeRC() { name = "rc"; }
  int parse41_41(const unsigned char* p, int n) { return Parse("41_41", p, n); }
  int parse41_43(const unsigned char* p, int n) { return Parse("41_43", p, n); }
  int parse41_44(const unsigned char* p, int n) { return Parse("41_44", p, n); }
  int parse40_46(const unsigned char* p, int n) { return Parse("40_46", p, n); }
  int parse42_46(const unsigned char* p, int n) { return Parse("42_46", p, n); }
};

}  // namespace k417t_test
