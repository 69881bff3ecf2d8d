#include "input/checked_json.h"

#include <gtest/gtest.h>

#include <string>

using namespace qmx::json;

namespace {

std::string Refusal(const std::string& text, const Limits& limits = Limits()) {
  Json::Value v;
  std::string error;
  if (Parse(text, "site.json", v, error, limits)) return "";
  return error;
}

}  // namespace

TEST(CheckedJson, RefusesWhatJsoncppWouldThrowOnOrAcceptSilently) {
  EXPECT_EQ(Refusal(R"({"a": [1, 2], /* note */ "b": "x"})"), "");
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(Refusal(deep), "site.json: nested deeper than 64 levels");
  EXPECT_EQ(Refusal(std::string(64, '[') + std::string(64, ']')), "");
  Limits shallow;
  shallow.max_depth = 3;
  EXPECT_NE(Refusal(R"({"a": {"b": {"c": {}}}})", shallow), "");
  EXPECT_NE(Refusal(R"({"devices": []} trailing)").find("not valid JSON"), std::string::npos);
  EXPECT_NE(Refusal(R"({"a": 1, "a": 2})").find("not valid JSON"), std::string::npos);
  // jsoncpp stops reading at a raw NUL byte: what follows must not pass unread.
  EXPECT_EQ(Refusal(std::string("{\"code\": 100}\0{junk", 19)),
            "site.json: a NUL byte in the text");
  EXPECT_EQ(Refusal(R"({"devices": [{"setting": {"port": "/dev/tty\u0000USB0"}}]})"),
            "site.json: devices[0].setting.port: a NUL character inside a string");
  EXPECT_EQ(Refusal(R"({"a\u0000b": 1})"), "site.json: document (a key): a NUL character inside a string");
  Limits small;
  small.max_bytes = 8;
  EXPECT_EQ(Refusal(R"({"a": 12345})", small), "site.json: longer than 8 bytes");
  EXPECT_NE(Refusal(""), "");
  EXPECT_NE(Refusal("NaN"), "");
}

TEST(CheckedJson, TypedReadsTakeExactValuesOnly) {
  Json::Value doc;
  std::string error;
  ASSERT_TRUE(Parse(R"({"n": 11, "real": 11.5, "whole": 3.0, "neg": -1, "big": 1e19,
      "max": 18446744073709551615, "text": "11", "flag": true, "list": [1]})",
                    "t", doc, error));
  int64_t i = 7;
  uint64_t u = 7;
  uint32_t u32 = 7;
  EXPECT_TRUE(ToInt64(doc["n"], i) && i == 11);
  EXPECT_TRUE(ToInt64(doc["whole"], i) && i == 3);
  EXPECT_FALSE(ToInt64(doc["real"], i));
  EXPECT_FALSE(ToInt64(doc["big"], i));
  EXPECT_FALSE(ToInt64(doc["max"], i));
  EXPECT_FALSE(ToInt64(doc["text"], i));
  EXPECT_FALSE(ToInt64(doc["flag"], i));
  EXPECT_EQ(i, 3);
  EXPECT_TRUE(ToUInt64(doc["max"], u) && u == 18446744073709551615u);
  EXPECT_TRUE(ToUInt64(doc["big"], u) && u == 10000000000000000000u);
  EXPECT_FALSE(ToUInt64(doc["neg"], u));
  EXPECT_FALSE(ToUInt32(doc["big"], u32));
  EXPECT_FALSE(ToIntIn(doc["n"], 0, 10, i));
  double d = 0;
  EXPECT_TRUE(ToDouble(doc["real"], d) && d == 11.5);
  EXPECT_FALSE(ToDouble(doc["flag"], d));
  std::string s;
  EXPECT_FALSE(ToString(doc["list"], s));
  bool b = false;
  EXPECT_TRUE(ToBool(doc["flag"], b) && b);
  // Member lookups on arrays and scalars give null instead of asserting.
  EXPECT_TRUE(Member(doc["list"], "x").isNull());
  EXPECT_TRUE(Member(doc["n"], "x").isNull());
  EXPECT_FALSE(Has(doc["list"], "x"));
  EXPECT_EQ(Path(Path(Path("", "devices"), 2), "port"), "devices[2].port");
}
