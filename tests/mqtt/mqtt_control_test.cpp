// Control requests from the broker: what reaches the line and what is
// refused with a reason, for a device with and without an allow-list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "mqtt/mqtt_export.h"

namespace {

using qmx::exporter::ControlRequest;
using qmx::exporter::MqttDevice;
using qmx::exporter::ParseControlRequest;

MqttDevice Allowing(std::set<int> codes) {
  MqttDevice d;
  d.id = 100;
  d.name = "power-1";
  d.control = std::move(codes);
  return d;
}

// The reason, or "" when the request is taken.
std::string Refusal(const std::string& payload, const MqttDevice& d) {
  ControlRequest r;
  std::string reason;
  return ParseControlRequest(payload, d, r, reason) ? "" : reason;
}

}  // namespace

TEST(MqttControlRequest, TakenWithItsByteAndId) {
  const MqttDevice d = Allowing({100, 106});
  ControlRequest r;
  std::string reason;
  ASSERT_TRUE(ParseControlRequest(R"({"code": 106, "byte": 255, "id": "a1"})", d, r, reason))
      << reason;
  EXPECT_EQ(106, r.code);
  EXPECT_EQ(255, r.byte);
  EXPECT_EQ("a1", r.id.asString());
  ControlRequest plain;
  ASSERT_TRUE(ParseControlRequest(R"({"code": 100, "id": 42})", d, plain, reason)) << reason;
  EXPECT_EQ(-1, plain.byte);
  EXPECT_EQ(42, plain.id.asInt64());
}

TEST(MqttControlRequest, OffUnlessAllowedForTheDevice) {
  EXPECT_NE("", Refusal(R"({"code": 100})", Allowing({})));
  EXPECT_NE(std::string::npos, Refusal(R"({"code": 100})", Allowing({})).find("off"));
  EXPECT_NE(std::string::npos,
            Refusal(R"({"code": 110, "byte": 1})", Allowing({106})).find("not allowed"));
}

TEST(MqttControlRequest, RulesOfTheCommandsApplyEvenWhenAllowed) {
  // An allow-list from an older site file may name anything; the commands'
  // own rules still hold.
  const MqttDevice d = Allowing({100, 106, 107});
  EXPECT_NE(std::string::npos, Refusal(R"({"code": 106})", d).find("byte"));
  EXPECT_NE(std::string::npos, Refusal(R"({"code": 100, "byte": 1})", d).find("no byte"));
  EXPECT_NE("", Refusal(R"({"code": 106, "byte": 256})", d));
  EXPECT_NE("", Refusal(R"({"code": 106, "byte": -1})", d));
  EXPECT_NE("", Refusal(R"({"code": 106, "byte": 1.5})", d));
  EXPECT_NE("", Refusal(R"({"code": 107})", d));
  EXPECT_NE("", Refusal(R"({"code": "100"})", d));
  EXPECT_NE("", Refusal(R"({"code": 4294967402})", d));
}

TEST(MqttControlRequest, MalformedPayloadsAreRefusedNotThrown) {
  const MqttDevice d = Allowing({100, 106});
  for (const std::string& p :
       {std::string(""), std::string("{"), std::string("[1]"), std::string("null"),
        std::string(R"({"code": 100, "extra": 1})"), std::string(R"({"code": 100, "id": [1]})"),
        std::string(R"({"code": 100, "id": ")") + std::string(200, 'x') + "\"}",
        std::string(2000, '['), std::string("{\"code\": 100}\0junk", 18)})
    EXPECT_NE("", Refusal(p, d)) << p.substr(0, 40);
}

// Two runners of different site files on one host never share a client id;
// the same file under another spelling is the same site.
TEST(MqttClientId, UniquePerSiteFileAndStable) {
  using qmx::exporter::DefaultClientId;
  using qmx::exporter::SiteTag;
  char dir[] = "/tmp/k417t-clientid-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string a = std::string(dir) + "/a.json", b = std::string(dir) + "/b.json";
  std::ofstream(a) << "{}";
  std::ofstream(b) << "{}";
  EXPECT_NE(DefaultClientId(a), DefaultClientId(b));
  EXPECT_EQ(DefaultClientId(a), DefaultClientId(std::string(dir) + "/./a.json"));
  EXPECT_EQ(8u, SiteTag(a).size());
  EXPECT_EQ(DefaultClientId(a), qmx::exporter::TopicName(DefaultClientId(a)));
  EXPECT_NE(std::string::npos, DefaultClientId(a).find(SiteTag(a)));
  std::remove(a.c_str());
  std::remove(b.c_str());
  rmdir(dir);
}
