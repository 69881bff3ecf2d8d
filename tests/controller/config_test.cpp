// Controller set-up from its JSON device setting and the child lookups.
#include <gtest/gtest.h>
#include <json/json.h>

#include "controller/k417t.h"
#include "support/test_host.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &err)) << err;
  return v;
}

struct Configured {
  k417t_test::TestHost host;
  std::shared_ptr<K417T> ctrl = std::make_shared<K417T>();
  bool ok = false;
  explicit Configured(const std::string& setting) {
    ctrl->Init(host.controller, 500);
    ok = ctrl->InitSetting(Parse(setting));
  }
};

const char* kExample = R"({"address": 1,
  "acSetting": [{"data_id": 11}, {"data_id": 12}],
  "dcSetting": [{"data_id": 21}],
  "rcSetting": {}})";

}  // namespace

TEST(ControllerConstruction, ConstantsAndInitialState) {
  K417T c;
  EXPECT_EQ("k417t", c.DeviceType());
  EXPECT_EQ(9600, c.baud_rate);
  EXPECT_EQ(1, c.sp_flag);
  EXPECT_EQ(0x21, c.protocol_ver);
  EXPECT_EQ(-1, c.cmd_result);
  EXPECT_EQ(1, c.check_model);
  EXPECT_EQ(0, c.ac_dataflag);
  EXPECT_EQ(0, c.rc_dataflag);
  EXPECT_TRUE(c.detected_model.empty());
  EXPECT_EQ(std::vector<std::string>{"K417T"}, c.support_models);
  EXPECT_EQ(0xFF, K417T::commandGroup_);
  EXPECT_EQ(nullptr, c.rc_device);
}

TEST(ControllerConfiguration, ExampleCreatesUnitsInOrderWithTheirIds) {
  Configured c(kExample);
  ASSERT_TRUE(c.ok);
  ASSERT_EQ(2u, c.ctrl->ac_devices.size());
  EXPECT_EQ(11u, c.ctrl->ac_devices[0]->DataId());
  EXPECT_EQ(12u, c.ctrl->ac_devices[1]->DataId());
  ASSERT_EQ(1u, c.ctrl->dc_devices.size());
  EXPECT_EQ(21u, c.ctrl->dc_devices[0]->DataId());
  ASSERT_NE(nullptr, c.ctrl->rc_device);
  EXPECT_EQ(500u, c.ctrl->rc_device->DataId());  // the controller's own id

  EXPECT_EQ(c.ctrl->dc_devices[0], c.ctrl->GetChildVDevice(21));
  EXPECT_EQ(c.ctrl->ac_devices[1], c.ctrl->GetChildVDevice(12));
  EXPECT_EQ(nullptr, c.ctrl->GetChildVDevice(99));
  EXPECT_EQ(nullptr, c.ctrl->GetChildVDevice(500));  // never the rectifier unit

  auto all = c.ctrl->GetAllChildVDevices();
  ASSERT_EQ(4u, all.size());
  EXPECT_EQ("k417t-ac", all[0]->DeviceType());
  EXPECT_EQ("k417t-ac", all[1]->DeviceType());
  EXPECT_EQ("k417t-dc", all[2]->DeviceType());
  EXPECT_EQ("k417t-rc", all[3]->DeviceType());
}

TEST(ControllerConfiguration, UnitLogsReachTheHost) {
  Configured c(kExample);
  ASSERT_TRUE(c.ok);
  const unsigned id = c.ctrl->dc_devices[0]->DataId();
  c.ctrl->dc_devices[0]->InfoLog("unit {}", id);
  EXPECT_EQ(std::vector<std::string>{"unit 21"}, c.host.services->logs());
}

TEST(ControllerConfiguration, MissingOrNullRcSettingKeepsUnitsButFails) {
  for (const char* rc : {"", R"(, "rcSetting": null)"}) {
    Configured c(std::string(R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}])") +
                 rc + "}");
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(1u, c.ctrl->ac_devices.size());
    EXPECT_EQ(1u, c.ctrl->dc_devices.size());
    EXPECT_EQ(nullptr, c.ctrl->rc_device);
    auto all = c.ctrl->GetAllChildVDevices();
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ(nullptr, all.back());  // the empty last element callers must skip
  }
}

TEST(ControllerConfiguration, NonArrayListsCreateNoUnitsAndMissingIdIsZero) {
  Configured c(R"({"acSetting": {"data_id": 11}, "dcSetting": [{}, null], "rcSetting": {}})");
  EXPECT_TRUE(c.ok);
  EXPECT_TRUE(c.ctrl->ac_devices.empty());
  ASSERT_EQ(2u, c.ctrl->dc_devices.size());
  EXPECT_EQ(0u, c.ctrl->dc_devices[0]->DataId());
  EXPECT_EQ(0u, c.ctrl->dc_devices[1]->DataId());
  EXPECT_EQ(1u, c.host.services->logs().size());  // the non-array acSetting
}

TEST(ControllerConfiguration, BadDataIdIsRefusedWithALogAndKeepsEarlierUnits) {
  for (const char* bad : {"-1", "\"abc\"", "4294967296", "[1]", "{}"}) {
    Configured c(std::string(R"({"acSetting": [{"data_id": 11}, {"data_id": )") + bad +
                 R"(}], "rcSetting": {}})");
    EXPECT_FALSE(c.ok) << bad;
    ASSERT_EQ(1u, c.ctrl->ac_devices.size()) << bad;
    EXPECT_EQ(11u, c.ctrl->ac_devices[0]->DataId());
    EXPECT_EQ(nullptr, c.ctrl->rc_device);
    ASSERT_EQ(1u, c.host.services->logs().size()) << bad;
    EXPECT_NE(std::string::npos, c.host.services->logs()[0].find("acSetting[1]"));
  }
  // an element that is not an object at all
  Configured c(R"({"dcSetting": [{"data_id": 21}, 7], "rcSetting": {}})");
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(1u, c.ctrl->dc_devices.size());
}

TEST(ControllerConfiguration, SettingThatIsNotAnObjectIsRefused) {
  for (const char* s : {"[]", "3", "\"x\"", "null"}) {
    Configured c(s);
    EXPECT_FALSE(c.ok) << s;
    EXPECT_TRUE(c.ctrl->GetAllChildVDevices().size() == 1u);
  }
}

TEST(ControllerConfiguration, OwnCacheAlwaysAccepted) {
  K417T c;
  const unsigned char b[3] = {1, 2, 3};
  EXPECT_TRUE(c.LoadFromCache(b, 3));
  EXPECT_TRUE(c.LoadFromCache(nullptr, 0));
  EXPECT_TRUE(c.LoadFromCache(std::string("xyz")));
}
