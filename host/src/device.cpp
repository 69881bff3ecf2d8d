// Host operations of the device bases. Every service call goes through the
// device's QMXController to its HostServices; a device without a controller
// behaves as a host with no services (nothing published, nothing sent).
#include <fmt/format.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "protocol_state.h"
#include "qmx/pmbus_protocol.h"
#include "wire/frame_codec.h"

namespace {
const boost::posix_time::ptime kEpoch(boost::gregorian::date(1970, 1, 1));
}

QMXVDevice::QMXVDevice() : last_update(kEpoch) {}
QMXVDevice::~QMXVDevice() = default;

qmx::HostServices* QMXVDevice::services() const {
  std::shared_ptr<QMXController> ctrl = controller_.lock();
  return ctrl ? ctrl->services() : nullptr;
}

int QMXVDevice::DeviceIoControl(int, const void*, int, void*, int, int& out_len) {
  out_len = 0;
  return -1;
}

void QMXVDevice::Reset() {}

bool QMXVDevice::InitV(QMXVDevice* parent, unsigned int data_id, const Json::Value&) {
  data_id_ = data_id;
  if (parent != nullptr) controller_ = parent->controller_;
  return true;
}

bool QMXVDevice::Init(const std::shared_ptr<QMXController>& controller, unsigned int data_id) {
  controller_ = controller;
  data_id_ = data_id;
  return true;
}

bool QMXVDevice::InitSetting(const Json::Value&) { return true; }

bool QMXVDevice::IsSupportDevice(const std::string& device_type) const {
  return device_type == device_type_;
}

bool QMXVDevice::SendSP(int type, const unsigned char* data, int len, bool flag) {
  qmx::HostServices* s = services();
  if (s == nullptr || data == nullptr || len < 0) return false;
  return s->Publish(*this, type, data, len, flag, round_changed != 0);
}

bool QMXVDevice::SendDelayData(int, const unsigned char*, int) { return false; }
bool QMXVDevice::SendDoData(unsigned int, int) { return false; }
bool QMXVDevice::ReadDi(unsigned int, int&) { return false; }
bool QMXVDevice::ReadAi(unsigned int, float&) { return false; }
bool QMXVDevice::Get_SP_Value(unsigned int, const std::string&, std::string&) const { return false; }

bool QMXVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code,
                                    const std::string& name, const std::string& text,
                                    bool condition, unsigned short seq) {
  rule_value rule;
  rule.condition = condition ? 1 : 0;
  rule.key = key;
  rule.code = code;
  rule.level = static_cast<uint32_t>(level);
  rule.seq = seq;
  rule.name = name;
  rule.text = text;
  rule.data_id = DataId();
  qmx::HostServices* s = services();
  if (s == nullptr || s->ThresholdPoint(*this, rule)) pending_rules.push_back(std::move(rule));
  return true;
}

void QMXVDevice::CheckThresholdWork(std::function<void()> job) {
  if (!job) return;
  qmx::HostServices* s = services();
  if (s == nullptr) {
    job();  // no host to defer to: run it now so nothing queued is lost
    return;
  }
  s->QueueJob(*this, std::move(job));
}

bool QMXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  qmx::HostServices* s = services();
  return s != nullptr && s->BatchCheck(*this, rules);
}

bool QMXVDevice::SaveDeviceHistory(const unsigned char* data, int len) {
  qmx::HostServices* s = services();
  if (s == nullptr || data == nullptr || len < 0) return false;
  s->SaveHistory(*this, data, len);
  return true;
}

QMXSPDevice::QMXSPDevice() = default;
QMXSPDevice::~QMXSPDevice() = default;

void QMXSPDevice::Reset() {
  if (qmx::HostServices* s = services()) s->Reset(*this);
}

bool QMXSPDevice::Init(const std::shared_ptr<QMXController>& controller, unsigned int data_id) {
  return QMXVDevice::Init(controller, data_id);
}

int QMXSPDevice::RefreshStatus() {
  qmx::HostServices* s = services();
  if (s == nullptr) return 0;
  const int r = s->RefreshStatus(*this);
  processing = r != 0 ? 1 : 0;
  return r;
}

int QMXSPDevice::process(const unsigned char*, int) { return 0; }
bool QMXSPDevice::IsProcessing() const { return processing != 0; }
bool QMXSPDevice::IsStalled() const { return false; }
int QMXSPDevice::SendData(const unsigned char*, int) { return -1; }
int QMXSPDevice::SendParityData(const unsigned char*, int, int) { return -1; }

bool QMXSPDevice::OpenPort() {
  qmx::HostServices* s = services();
  return s != nullptr && s->OpenPort(*this);
}

void QMXSPDevice::ClosePort() {}

PMBusProtocol::PMBusProtocol() : proto_(new qmx::ProtocolState) {}
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& setting) {
  auto fail = [this](const std::string& why) {
    if (qmx::HostServices* s = services()) s->Log("PMBusProtocol: bad device setting: " + why);
    return false;
  };
  if (!setting.isObject()) return fail("not a JSON object");
  const Json::Value& adr = setting["address"];
  if (!adr.isNull()) {
    if (!adr.isInt64() || adr.asLargestInt() < 0 || adr.asLargestInt() > 255)
      return fail("\"address\" must be an integer 0-255");
    address = static_cast<uint8_t>(adr.asLargestInt());
  }
  const Json::Value& p = setting["port"];
  if (!p.isNull()) {
    if (!p.isString()) return fail("\"port\" must be a string");
    port = p.asString();
  }
  const Json::Value& to = setting["timeout_ms"];
  if (!to.isNull()) {
    if (!to.isInt64() || to.asLargestInt() < 10 || to.asLargestInt() > 60000)
      return fail("\"timeout_ms\" must be an integer 10-60000");
    response_timeout_ms = static_cast<int32_t>(to.asLargestInt());
  }
  const Json::Value& baud = setting["baud_rate"];
  if (!baud.isNull()) {
    if (!baud.isInt64() || baud.asLargestInt() <= 0 || baud.asLargestInt() > 4000000)
      return fail("\"baud_rate\" must be a positive integer");
    baud_rate = static_cast<int32_t>(baud.asLargestInt());
  }
  return true;
}

// The line has cut and checked the frame and matched it to this device's
// exchange; it is decoded once, there. Here it is only kept and routed.
int PMBusProtocol::process(const unsigned char* data, int len) {
  constexpr int kHeader = static_cast<int>(qmx::wire::kDecodedHeaderBytes);
  if (data == nullptr || len < kHeader) return 0;
  const int lenid = data[4] | (data[5] << 8);
  if (lenid != 2 * (len - kHeader)) {
    if (qmx::HostServices* s = services())
      s->Log(fmt::format("PMBusProtocol {}: answer of {} bytes with LENID {} refused", DataId(),
                         len, lenid));
    return 0;
  }
  qmx::ProtocolState& st = *proto_;
  st.frame.assign(data, data + len);
  recv_frame = st.frame.data();
  return st.frame[3] == qmx::wire::kRtnNormal ? process_payload() : process_error();
}

bool PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2) {
  return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

bool PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const unsigned char* info,
                                    int info_len) {
  qmx::HostServices* s = services();
  if (s == nullptr) return false;
  if (info == nullptr || info_len < 0) info_len = 0;
  return s->SendRequest(*this, cid1, cid2, info, info_len);
}
