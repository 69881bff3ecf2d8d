// The Modbus register map and the answering of requests: addresses that
// stay where a published map put them, no value as NaN and 0x8000 (never a
// number), the float word order, the health registers, and every exception
// a request outside the map or out of bounds must get.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "modbus/modbus_answer.h"
#include "modbus/modbus_config.h"
#include "modbus/modbus_map.h"

namespace {

using namespace qmx::modbus;
namespace view = qmx::view;

// --- CSV

std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        out.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        out.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

struct CsvRow {
  std::string table, type, key;
  int address = 0, reg = 0, words = 0;
};

// table/address -> row
std::map<std::pair<std::string, int>, CsvRow> ReadCsv(std::istream& in) {
  std::map<std::pair<std::string, int>, CsvRow> rows;
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "unit_id,device,table,address,register,words,type,scale,key,label,unit,kind");
  while (std::getline(in, line)) {
    const auto f = CsvFields(line);
    EXPECT_EQ(f.size(), 12u) << line;
    if (f.size() != 12) continue;
    CsvRow r{f[2], f[6], f[8], std::stoi(f[3]), std::stoi(f[4]), std::stoi(f[5])};
    rows[{r.table, r.address}] = r;
  }
  return rows;
}

TEST(ModbusMap, PublishedAddressesStayWhereTheyAre) {
  std::ifstream golden(K417T_MODBUS_GOLDEN);
  ASSERT_TRUE(golden) << K417T_MODBUS_GOLDEN;
  const auto old_rows = ReadCsv(golden);
  ASSERT_GT(old_rows.size(), 500u);
  std::istringstream now_csv(MapCsv(TheMap()));
  const auto now = ReadCsv(now_csv);
  for (const auto& [place, old] : old_rows) {
    const auto it = now.find(place);
    ASSERT_TRUE(it != now.end())
        << old.table << " " << old.address << " (" << old.key
        << ") was published and is gone: a published address must not move or go "
           "(adding rows at new addresses is fine)";
    EXPECT_EQ(it->second.key, old.key)
        << old.table << " " << old.address << ": published as " << old.key << ", now "
        << it->second.key << ": a published address must not move";
    EXPECT_EQ(it->second.type, old.type) << old.key << " changed its type";
    EXPECT_EQ(it->second.words, old.words) << old.key << " changed its width";
  }
}

TEST(ModbusMap, ShippedCsvIsTheGeneratedMap) {
  std::ifstream shipped(K417T_MODBUS_SHIPPED);
  ASSERT_TRUE(shipped) << K417T_MODBUS_SHIPPED;
  const std::string text((std::istreambuf_iterator<char>(shipped)),
                         std::istreambuf_iterator<char>());
  EXPECT_TRUE(text == MapCsv(TheMap()))
      << "data/modbus-map.csv is not the map this build serves: regenerate it with "
         "`k417t-run modbus-map > data/modbus-map.csv`";
}

TEST(ModbusMap, SlotsDoNotOverlapAndRegisterNumbersFollowAddresses) {
  const Map& m = TheMap();
  for (size_t i = 0; i < m.slots.size(); ++i) {
    EXPECT_LE(m.slots[i].end, m.slots[i].base + kSlotStride) << m.slots[i].name;
    if (i + 1 < m.slots.size()) {
      EXPECT_LE(m.slots[i].end, m.slots[i + 1].base);
    }
  }
  // Every register is one entry's: no two entries share an address.
  std::set<std::pair<int, int>> used;
  for (const Entry& e : m.entries)
    for (int w = 0; w < e.words; ++w)
      EXPECT_TRUE(used.insert({static_cast<int>(e.table), e.address + w}).second)
          << e.key << " overlaps another entry at " << e.address + w;
  std::istringstream csv(MapCsv(m));
  for (const auto& [place, row] : ReadCsv(csv)) {
    const int base = row.table == "input_register"   ? 30001
                     : row.table == "discrete_input" ? 10001
                                                     : 40001;
    EXPECT_EQ(row.reg, base + row.address) << row.key;
    EXPECT_LT(row.address, 9999) << row.key << ": beyond the 5-digit register numbers";
  }
}

TEST(ModbusMap, EveryRowOfEveryKindIsMappedWithItsThreeForms) {
  const Map& m = TheMap();
  std::map<std::string, int> forms;
  for (const Entry& e : m.entries)
    if (e.slot >= 0 && e.table == Table::kInputRegister) forms[e.key]++;
  // rectifier.module_63_current: the 64th module has a float, an int16 and
  // a status; the key of the int16 is the float's.
  EXPECT_EQ(forms["rectifier.module_63_current"], 2);
  EXPECT_EQ(forms["rectifier.module_63_current.status"], 1);
  EXPECT_EQ(forms["ac4.channel_7_f"], 2);
  EXPECT_EQ(forms["dc4.v"], 2);
  EXPECT_EQ(forms["ac1.channel_0_a_alert"], 1);
  EXPECT_EQ(forms.count("rectifier.module_64_current"), 0u);
}

// --- Registers from a device

const Entry& Find(const std::string& key, Type type) {
  for (const Entry& e : TheMap().entries)
    if (e.key == key && e.type == type) return e;
  ADD_FAILURE() << "no " << key << " " << TypeName(type);
  static Entry none;
  return none;
}

view::Value Reading(const std::string& key, std::optional<double> number) {
  view::Value v;
  v.field.key = key;
  v.field.quantity = view::Quantity::kVoltage;
  v.number = number;
  return v;
}
view::Value StateValue(const std::string& key, unsigned code, bool alert) {
  view::Value v;
  v.field.key = key;
  v.field.quantity = view::Quantity::kState;
  v.number = code;
  v.raw = {code, 0, 0};
  v.alert = alert;
  return v;
}

view::DeviceView Healthy() {
  view::DeviceView d;
  d.id = 7;
  d.line_open = d.answering = true;
  d.rounds = 70000;
  d.last_round = 1000;
  d.health = view::Health::kHealthy;
  view::UnitValues rect;
  rect.data_id = 7;
  rect.type = view::kRectifierType;
  rect.values = {Reading("rc_value", 53.5), Reading("module_0_current", std::nullopt),
                 Reading("module_1_current", 12.25), StateValue("module_1_fault", 1, true)};
  view::UnitValues ac1, ac2;
  ac1.data_id = 11;
  ac1.type = ac2.type = view::kAcType;
  ac2.data_id = 12;
  ac2.values = {Reading("channel_0_a", 231.5), Reading("ia", 1e9)};
  d.units = {rect, ac1, ac2};
  qmx::store::ActiveAlarm a;
  a.data_id = 12;
  a.level = 1;
  d.alarms = {a};
  a.level = 3;
  a.data_id = 7;
  d.alarms.push_back(a);
  return d;
}

uint32_t Bits(const DeviceRegisters& r, const Entry& e, bool big) {
  const uint16_t w0 = r.input[e.address], w1 = r.input[e.address + 1];
  return big ? (uint32_t{w0} << 16 | w1) : (uint32_t{w1} << 16 | w0);
}
float FloatAt(const DeviceRegisters& r, const Entry& e, bool big) {
  const uint32_t b = Bits(r, e, big);
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

TEST(ModbusRegisters, ValuesNoValueAndWordOrder) {
  const view::DeviceView d = Healthy();
  for (bool big : {true, false}) {
    SCOPED_TRACE(big ? "big" : "little");
    const DeviceRegisters r = BuildRegisters(TheMap(), d, big, 1010);
    const Entry& rc = Find("rectifier.rc_value", Type::kFloat32);
    EXPECT_FLOAT_EQ(FloatAt(r, rc, big), 53.5f);
    EXPECT_EQ(r.input[Find("rectifier.rc_value", Type::kInt16).address], 5350);
    EXPECT_EQ(r.input[Find("rectifier.rc_value.status", Type::kUint16).address], 0);
    // No value: the quiet NaN 0x7FC00000, 0x8000 and status 1.
    const Entry& m0 = Find("rectifier.module_0_current", Type::kFloat32);
    EXPECT_EQ(Bits(r, m0, big), 0x7FC00000u);
    EXPECT_EQ(r.input[Find("rectifier.module_0_current", Type::kInt16).address], 0x8000);
    EXPECT_EQ(r.input[Find("rectifier.module_0_current.status", Type::kUint16).address], 1);
    // A module the controller does not report: no value too.
    EXPECT_EQ(Bits(r, Find("rectifier.module_40_current", Type::kFloat32), big), 0x7FC00000u);
    // The second AC unit goes to the second AC slot; a huge value saturates.
    EXPECT_FLOAT_EQ(FloatAt(r, Find("ac2.channel_0_a", Type::kFloat32), big), 231.5f);
    EXPECT_EQ(r.input[Find("ac2.ia", Type::kInt16).address], 32767);
    EXPECT_EQ(Bits(r, Find("ac1.channel_0_a", Type::kFloat32), big), 0x7FC00000u);
  }
  const DeviceRegisters big = BuildRegisters(TheMap(), d, true, 1010);
  const Entry& rc = Find("rectifier.rc_value", Type::kFloat32);
  // 53.5 = 0x42560000: high word first when big.
  EXPECT_EQ(big.input[rc.address], 0x4256);
  EXPECT_EQ(big.input[rc.address + 1], 0x0000);
  const DeviceRegisters little = BuildRegisters(TheMap(), d, false, 1010);
  EXPECT_EQ(little.input[rc.address], 0x0000);
  EXPECT_EQ(little.input[rc.address + 1], 0x4256);
}

TEST(ModbusRegisters, StatesAlarmsAndHealth) {
  const view::DeviceView d = Healthy();
  const DeviceRegisters r = BuildRegisters(TheMap(), d, true, 1010);
  const Entry& fault = Find("rectifier.module_1_fault", Type::kUint16);
  EXPECT_EQ(r.input[fault.address], 1);
  EXPECT_EQ(r.discrete[fault.address], 1);  // the alert bit sits at the state's address
  EXPECT_EQ(r.input[Find("rectifier.module_0_fault", Type::kUint16).address], 0xFFFF);
  EXPECT_EQ(r.discrete[Find("ac2.alarm", Type::kBit).address], 1);
  EXPECT_EQ(r.discrete[Find("ac1.alarm", Type::kBit).address], 0);
  EXPECT_EQ(r.discrete[Find("rectifier.alarm", Type::kBit).address], 1);
  EXPECT_EQ(r.input[0], 1);                                    // data valid
  EXPECT_EQ(r.input[2] << 16 | r.input[3], 10);                // seconds since the round
  EXPECT_EQ(uint32_t{r.input[4]} << 16 | r.input[5], 70000u);  // rounds beyond 16 bits
  EXPECT_EQ(r.input[7], 2);                                    // active alarms
  EXPECT_EQ(r.input[8], 1);                                    // critical
  EXPECT_EQ(r.input[10], 1);                                   // minor
  EXPECT_EQ(r.input[12], 4);                                   // worst: critical
  EXPECT_EQ(r.discrete[0], 1);
  EXPECT_EQ(r.discrete[1], 0);
}

TEST(ModbusRegisters, LostControllerIsStaleNeverANumber) {
  view::DeviceView d = Healthy();
  d.answering = false;
  d.stale = true;
  d.health = view::Health::kLost;
  const DeviceRegisters r = BuildRegisters(TheMap(), d, true, 1010);
  EXPECT_EQ(Bits(r, Find("rectifier.rc_value", Type::kFloat32), true), 0x7FC00000u);
  EXPECT_EQ(r.input[Find("rectifier.rc_value", Type::kInt16).address], 0x8000);
  EXPECT_EQ(r.input[Find("rectifier.rc_value.status", Type::kUint16).address], 2);
  EXPECT_EQ(r.input[Find("rectifier.module_0_current.status", Type::kUint16).address], 2);
  EXPECT_EQ(r.input[Find("rectifier.module_1_fault", Type::kUint16).address], 0xFFFF);
  EXPECT_EQ(r.input[0], 0);
  EXPECT_EQ(r.discrete[1], 1);

  // At a start the units hold the images restored from the history: until
  // the controller answers they are not current either.
  d = Healthy();
  d.answering = false;
  d.rounds = 0;
  d.health = view::Health::kStarting;
  const DeviceRegisters start = BuildRegisters(TheMap(), d, true, 1010);
  EXPECT_EQ(Bits(start, Find("rectifier.rc_value", Type::kFloat32), true), 0x7FC00000u);
  EXPECT_EQ(start.input[Find("rectifier.rc_value", Type::kInt16).address], 0x8000);
  EXPECT_EQ(start.input[Find("rectifier.rc_value.status", Type::kUint16).address], 2);
  EXPECT_EQ(start.input[0], 0);
}

uint32_t Int32At(const DeviceRegisters& r, const Entry& e) {
  return uint32_t{r.input[e.address]} << 16 | r.input[e.address + 1];
}

TEST(ModbusRegisters, EnergyAndBatteryBlock) {
  view::DeviceView d = Healthy();
  view::BatteryView& b = d.battery;
  b.configured = true;
  b.total.load_kwh = 12345.6789;
  b.total.discharge_ah = 180.27;
  b.today.load_kwh = 4.5;
  b.power_w = 2600;
  b.soc = 0.995;
  b.autonomy.valid = true;
  b.autonomy.minutes = 94.4;
  b.autonomy.low_min = 80;
  b.autonomy.high_min = 108;
  b.discharging = view::DischargeRecord{};
  const DeviceRegisters r = BuildRegisters(TheMap(), d, false, 1010);
  EXPECT_FLOAT_EQ(FloatAt(r, Find("battery.load_power", Type::kFloat32), false), 2600.f);
  EXPECT_FLOAT_EQ(FloatAt(r, Find("battery.autonomy", Type::kFloat32), false), 94.4f);
  // int32 in thousandths of a kWh (Wh), high word first whatever the float order.
  EXPECT_EQ(Int32At(r, Find("battery.load_energy", Type::kInt32)), 12345679u);
  EXPECT_EQ(Int32At(r, Find("battery.discharge_ah", Type::kInt32)), 180270u);
  EXPECT_EQ(Int32At(r, Find("battery.state_of_charge", Type::kInt32)), 995u);
  EXPECT_EQ(r.input[Find("battery.load_energy_today.status", Type::kUint16).address], 0);
  EXPECT_EQ(r.input[Find("battery.configured", Type::kUint16).address], 1);
  EXPECT_EQ(r.input[Find("battery.discharging", Type::kUint16).address], 1);
  EXPECT_EQ(r.discrete[Find("battery.discharging", Type::kBit).address], 1);
  EXPECT_EQ(r.discrete[Find("battery.test_running", Type::kBit).address], 0);

  // Lost: the counters stay (nothing was counted meanwhile), the readings go stale.
  d.answering = false;
  d.stale = true;
  d.health = view::Health::kLost;
  const DeviceRegisters lost = BuildRegisters(TheMap(), d, false, 1010);
  EXPECT_EQ(Int32At(lost, Find("battery.load_energy", Type::kInt32)), 12345679u);
  EXPECT_EQ(lost.input[Find("battery.load_energy.status", Type::kUint16).address], 0);
  EXPECT_EQ(Bits(lost, Find("battery.load_power", Type::kFloat32), false), 0x7FC00000u);
  EXPECT_EQ(Int32At(lost, Find("battery.autonomy", Type::kInt32)), 0x80000000u);
  EXPECT_EQ(lost.input[Find("battery.state_of_charge.status", Type::kUint16).address], 2);

  // No strings named: no battery figures, the load's counters still there;
  // an estimate not made is no value; a huge counter saturates.
  d = Healthy();
  d.battery.total.load_kwh = 3e6;
  d.battery.total.discharge_ah = 7;
  const DeviceRegisters none = BuildRegisters(TheMap(), d, true, 1010);
  EXPECT_EQ(Int32At(none, Find("battery.load_energy", Type::kInt32)), 2147483647u);
  EXPECT_EQ(Bits(none, Find("battery.discharge_ah", Type::kFloat32), true), 0x7FC00000u);
  EXPECT_EQ(none.input[Find("battery.discharge_ah.status", Type::kUint16).address], 1);
  EXPECT_EQ(none.input[Find("battery.autonomy.status", Type::kUint16).address], 1);
  EXPECT_EQ(none.input[Find("battery.load_power.status", Type::kUint16).address], 1);
  EXPECT_EQ(none.input[Find("battery.configured", Type::kUint16).address], 0);
  EXPECT_EQ(none.discrete[Find("battery.discharging", Type::kBit).address], 0);
}

// --- Requests

std::vector<uint8_t> Request(uint8_t unit, std::vector<uint8_t> pdu, uint16_t tid = 0x1234) {
  std::vector<uint8_t> f = {static_cast<uint8_t>(tid >> 8),
                            static_cast<uint8_t>(tid),
                            0,
                            0,
                            0,
                            static_cast<uint8_t>(pdu.size() + 1),
                            unit};
  f.insert(f.end(), pdu.begin(), pdu.end());
  return f;
}
std::vector<uint8_t> Read(uint8_t unit, uint8_t fc, uint16_t address, uint16_t count) {
  return Request(unit, {fc, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                        static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

RegisterImage Image() {
  RegisterImage img;
  img.map = std::shared_ptr<const Map>(std::shared_ptr<const Map>(), &TheMap());
  img.units[3] = BuildRegisters(TheMap(), Healthy(), true, 1010);
  return img;
}

std::vector<uint8_t> Ask(const RegisterImage& img, const std::vector<uint8_t>& req) {
  uint8_t reply[kMaxAdu];
  const size_t n = Answer(req.data(), req.size(), img, reply);
  return std::vector<uint8_t>(reply, reply + n);
}

// The exception code of a reply, or -1 when it is none.
int ExceptionOf(const std::vector<uint8_t>& reply) {
  if (reply.size() != 9 || !(reply[7] & 0x80)) return -1;
  return reply[8];
}

TEST(ModbusAnswer, ReadsRegistersAndBitsWithTheMbapEchoed) {
  const RegisterImage img = Image();
  const Entry& rc = Find("rectifier.rc_value", Type::kFloat32);
  const auto reply = Ask(img, Read(3, 0x04, rc.address, 2));
  ASSERT_EQ(reply.size(), 7u + 2 + 4);
  EXPECT_EQ(reply[0], 0x12);
  EXPECT_EQ(reply[1], 0x34);
  EXPECT_EQ(reply[5], 7);  // length: unit + fc + count + 4
  EXPECT_EQ(reply[6], 3);
  EXPECT_EQ(reply[8], 4);
  EXPECT_EQ(reply[9], 0x42);
  EXPECT_EQ(reply[10], 0x56);
  // Discrete inputs 0..1: alarm yes, lost no.
  const auto bits = Ask(img, Read(3, 0x02, 0, 2));
  ASSERT_EQ(bits.size(), 7u + 3);
  EXPECT_EQ(bits[9], 0x01);
  // The largest reads.
  const Slot& rect = TheMap().slots[0];
  EXPECT_EQ(Ask(img, Read(3, 0x04, rect.base, 125)).size(), 7u + 2 + 250);
  // Unit 0 and 255 reach the first device.
  EXPECT_EQ(Ask(img, Read(0, 0x04, 0, 13)).size(), 7u + 2 + 26);
  EXPECT_EQ(Ask(img, Read(255, 0x04, 0, 13)).size(), 7u + 2 + 26);
}

TEST(ModbusAnswer, ExceptionsForWhatIsNotThere) {
  const RegisterImage img = Image();
  const uint16_t end = static_cast<uint16_t>(TheMap().input_mapped.size());
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x04, 0, 126))), kIllegalDataValue);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x04, 0, 0))), kIllegalDataValue);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x02, 0, 2001))), kIllegalDataValue);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x04, 13, 1))), kIllegalDataAddress);  // a gap
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x04, 10, 5))), kIllegalDataAddress);  // into it
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x04, end - 1, 2))), kIllegalDataAddress);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x04, 65535, 125))), kIllegalDataAddress);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x02, 65535, 2000))), kIllegalDataAddress);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(4, 0x04, 0, 1))), kGatewayTargetFailed);
  // Reads only: every write, coils and holding registers without control.
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x06, 0, 100))), kIllegalFunction);
  EXPECT_EQ(ExceptionOf(Ask(img, Request(3, {0x10, 0, 0, 0, 1, 2, 0, 100}))), kIllegalFunction);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x05, 0, 0xFF00))), kIllegalFunction);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x0F, 0, 1))), kIllegalFunction);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x01, 0, 1))), kIllegalFunction);
  EXPECT_EQ(ExceptionOf(Ask(img, Read(3, 0x03, 0, 1))), kIllegalFunction);
  EXPECT_EQ(ExceptionOf(Ask(img, Request(3, {0x2B, 0x0E, 1, 0}))), kIllegalFunction);
  // A read with a PDU of the wrong length.
  EXPECT_EQ(ExceptionOf(Ask(img, Request(3, {0x04, 0, 0, 0}))), kIllegalDataValue);
  EXPECT_EQ(ExceptionOf(Ask(img, Request(3, {0x04, 0, 0, 0, 1, 9}))), kIllegalDataValue);
}

TEST(ModbusAnswer, FramingRefusesWhatCanNeverBeAFrame) {
  std::vector<uint8_t> f = Read(3, 0x04, 0, 1);
  EXPECT_EQ(FrameLength(f.data(), 5), 0);
  EXPECT_EQ(FrameLength(f.data(), f.size() - 1), 0);
  EXPECT_EQ(FrameLength(f.data(), f.size()), static_cast<long>(f.size()));
  f[3] = 1;  // protocol id
  EXPECT_EQ(FrameLength(f.data(), f.size()), -1);
  f[3] = 0;
  f[5] = 1;  // length below unit + function
  EXPECT_EQ(FrameLength(f.data(), f.size()), -1);
  f[4] = 1;  // 257: beyond the largest PDU
  EXPECT_EQ(FrameLength(f.data(), f.size()), -1);
}

TEST(ModbusAnswer, RandomFramesNeverReadOutOfBounds) {
  const RegisterImage img = Image();
  std::mt19937 rng(29);
  uint8_t reply[kMaxAdu];
  for (int i = 0; i < 200000; ++i) {
    std::vector<uint8_t> f(8 + rng() % 12);
    for (auto& b : f) b = static_cast<uint8_t>(rng());
    f[2] = f[3] = 0;
    f[4] = 0;
    f[5] = static_cast<uint8_t>(f.size() - 6);
    if (i % 2) f[6] = 3;
    if (i % 3 == 0) f[7] = static_cast<uint8_t>(1 + rng() % 6);
    const size_t n = Answer(f.data(), f.size(), img, reply);
    ASSERT_GE(n, 9u);
    ASSERT_LE(n, kMaxAdu);
    ASSERT_EQ(reply[4] << 8 | reply[5], static_cast<int>(n - 6));
  }
}

// --- RTU: address, PDU, CRC low byte first

std::vector<uint8_t> Rtu(std::vector<uint8_t> f) {
  const uint16_t crc = Crc16(f.data(), f.size());
  f.push_back(static_cast<uint8_t>(crc));
  f.push_back(static_cast<uint8_t>(crc >> 8));
  return f;
}
std::vector<uint8_t> RtuRead(uint8_t unit, uint8_t fc, uint16_t address, uint16_t count) {
  return Rtu({unit, fc, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
              static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}
std::vector<uint8_t> AskRtu(const RegisterImage& img, const std::vector<uint8_t>& req,
                            RtuVerdict* verdict = nullptr) {
  uint8_t reply[kMaxRtuAdu];
  const size_t n = AnswerRtu(req.data(), req.size(), img, reply, nullptr, verdict);
  return std::vector<uint8_t>(reply, reply + n);
}

TEST(ModbusRtu, CrcIsModbusCrcLowByteFirst) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc16(check, sizeof check), 0x4B37);
  // A read of holding register 0 of slave 1, as every Modbus text shows it.
  EXPECT_EQ(RtuRead(1, 0x03, 0, 1), (std::vector<uint8_t>{1, 3, 0, 0, 0, 1, 0x84, 0x0A}));
}

TEST(ModbusRtu, AnswersLikeTcpForItsUnitsAndIsSilentOtherwise) {
  const RegisterImage img = Image();
  const Entry& rc = Find("rectifier.rc_value", Type::kFloat32);
  RtuVerdict v{};
  const auto reply = AskRtu(img, RtuRead(3, 0x04, rc.address, 2), &v);
  EXPECT_EQ(v, RtuVerdict::kAnswered);
  ASSERT_EQ(reply.size(), 1u + 2 + 4 + 2);
  EXPECT_EQ(reply[0], 3);
  EXPECT_EQ(reply[1], 0x04);
  EXPECT_EQ(reply[2], 4);
  // The same register bytes as the TCP answer's.
  const auto tcp = Ask(img, Read(3, 0x04, rc.address, 2));
  EXPECT_TRUE(std::equal(reply.begin() + 1, reply.end() - 2, tcp.begin() + 7));
  EXPECT_EQ(Crc16(reply.data(), reply.size() - 2), reply[7] | reply[8] << 8);
  // An address no device has, the broadcast and 255: no answer at all.
  EXPECT_TRUE(AskRtu(img, RtuRead(4, 0x04, 0, 1), &v).empty());
  EXPECT_EQ(v, RtuVerdict::kNotOurs);
  EXPECT_TRUE(AskRtu(img, RtuRead(0, 0x04, 0, 1), &v).empty());
  EXPECT_EQ(v, RtuVerdict::kBroadcast);
  EXPECT_TRUE(AskRtu(img, RtuRead(255, 0x04, 0, 1), &v).empty());
  // A bad CRC: silence, whoever it was for.
  auto bad = RtuRead(3, 0x04, 0, 1);
  bad[6] ^= 0x01;
  EXPECT_TRUE(AskRtu(img, bad, &v).empty());
  EXPECT_EQ(v, RtuVerdict::kBadCrc);
  // Exceptions come back framed with their CRC.
  const auto past = AskRtu(img, RtuRead(3, 0x04, 65535, 2), &v);
  EXPECT_EQ(past, Rtu({3, 0x84, kIllegalDataAddress}));
  EXPECT_EQ(AskRtu(img, RtuRead(3, 0x06, 0, 100)), Rtu({3, 0x86, kIllegalFunction}));
  EXPECT_EQ(AskRtu(img, Rtu({3, 0x04, 0, 0})), Rtu({3, 0x84, kIllegalDataValue}));
  // Too short to hold an address, a function and a CRC; longer than any frame.
  EXPECT_TRUE(AskRtu(img, {3, 0x04, 0x00}, &v).empty());
  EXPECT_EQ(v, RtuVerdict::kMalformed);
  EXPECT_TRUE(AskRtu(img, std::vector<uint8_t>(kMaxRtuAdu + 1, 3), &v).empty());
  EXPECT_EQ(v, RtuVerdict::kMalformed);
}

TEST(ModbusRtu, RequestLengthFromTheFunctionCode) {
  const auto read = RtuRead(3, 0x04, 0, 1);
  EXPECT_EQ(RtuRequestLength(read.data(), 1), 0u);
  EXPECT_EQ(RtuRequestLength(read.data(), 2), 8u);
  const uint8_t write[] = {3, 0x10, 0, 0, 0, 3, 6};
  EXPECT_EQ(RtuRequestLength(write, 6), 0u);  // the byte count not yet there
  EXPECT_EQ(RtuRequestLength(write, 7), 15u);
  const uint8_t other[] = {3, 0x2B, 0x0E};
  EXPECT_EQ(RtuRequestLength(other, 3), 0u);  // ended by the silence only
  EXPECT_EQ(RtuRequestLength(nullptr, 0), 0u);
}

TEST(ModbusRtu, RandomFramesNeverReadOutOfBounds) {
  const RegisterImage img = Image();
  std::mt19937 rng(31);
  uint8_t reply[kMaxRtuAdu];
  for (int i = 0; i < 200000; ++i) {
    std::vector<uint8_t> f(rng() % 300);
    for (auto& b : f) b = static_cast<uint8_t>(rng());
    if (!f.empty() && i % 2) f[0] = 3;
    if (f.size() > 1 && i % 3 == 0) f[1] = static_cast<uint8_t>(1 + rng() % 16);
    if (f.size() >= 4 && i % 4 != 3) {  // mostly a good CRC, to reach the answering
      const uint16_t crc = Crc16(f.data(), f.size() - 2);
      f[f.size() - 2] = static_cast<uint8_t>(crc);
      f[f.size() - 1] = static_cast<uint8_t>(crc >> 8);
    }
    RtuVerdict v{};
    const size_t n = AnswerRtu(f.data(), f.size(), img, reply, nullptr, &v);
    ASSERT_LE(n, kMaxRtuAdu);
    ASSERT_EQ(n > 0, v == RtuVerdict::kAnswered);
    if (n > 0) {
      ASSERT_GE(n, 5u);
      ASSERT_EQ(reply[0], 3);
      ASSERT_EQ(Crc16(reply, n - 2), reply[n - 2] | reply[n - 1] << 8);
    }
  }
}

// --- Settings

Json::Value Site(const std::string& modbus) {
  Json::Value v;
  Json::Reader().parse("{\"modbus\": " + modbus + "}", v);
  return v;
}

TEST(ModbusConfig, OffByDefaultLoopbackByDefaultEveryMemberChecked) {
  ModbusConfig c;
  std::string error;
  ASSERT_TRUE(LoadModbus(Json::Value(Json::objectValue), "", c, error)) << error;
  EXPECT_FALSE(c.enabled);
  c = {};
  ASSERT_TRUE(LoadModbus(Json::Value(Json::objectValue), "1502", c, error)) << error;
  EXPECT_TRUE(c.enabled);
  EXPECT_EQ(c.address, "127.0.0.1");
  EXPECT_TRUE(c.loopback());
  c = {};
  ASSERT_TRUE(LoadModbus(Site("{}"), "", c, error)) << error;
  EXPECT_TRUE(c.enabled);
  EXPECT_EQ(c.port, 1502);
  c = {};
  ASSERT_TRUE(
      LoadModbus(Site(R"({"listen": "0.0.0.0:502", "float_word_order": "little"})"), "", c, error))
      << error;
  EXPECT_FALSE(c.loopback());
  EXPECT_FALSE(c.big_endian_words);
  // Control beyond loopback is refused: nothing authenticates a Modbus
  // client, and a source address is easily forged.
  c = {};
  EXPECT_FALSE(LoadModbus(Site(R"({"listen": "0.0.0.0:502", "control": true})"), "", c, error));
  EXPECT_NE(error.find("modbus.control: refused while the server listens beyond loopback"),
            std::string::npos)
      << error;
  c = {};
  EXPECT_FALSE(LoadModbus(Site(R"({"control": {"plant": [100]}})"), "10.1.2.3:502", c, error));
  c = {};
  ASSERT_TRUE(LoadModbus(Site(R"({"listen": "127.0.0.1:502",
      "control": {"plant": [100]}, "control_peers": ["127.0.0.1"]})"),
                         "", c, error))
      << error;
  EXPECT_TRUE(c.control);
  EXPECT_TRUE(ControlAllowed(c, 1, "plant", 100));
  EXPECT_FALSE(ControlAllowed(c, 1, "plant", 102));
  for (const auto& [bad, member] : std::vector<std::pair<std::string, std::string>>{
           {R"({"listen": "1.2.3:502"})", "modbus.listen"},
           {R"({"listen": "127.0.0.1:0"})", "modbus.listen"},
           {R"({"listen": 502})", "modbus.listen"},
           {R"({"max_clients": 0})", "modbus.max_clients"},
           {R"({"idle_s": -1})", "modbus.idle_s"},
           {R"({"float_word_order": "middle"})", "modbus.float_word_order"},
           {R"({"units": {"plant": 248}})", "modbus.units.plant"},
           {R"({"control": "yes"})", "modbus.control"},
           {R"({"control": {"plant": [999]}})", "modbus.control.plant"},
           {R"({"control_peers": ["host.example"]})", "modbus.control_peers"},
           {R"({"lisen": "1502"})", "modbus.lisen"},
           {R"({"rtu": {}})", "modbus.rtu.port"},
           {R"({"rtu": {"port": ""}})", "modbus.rtu.port"},
           {R"({"rtu": "/dev/ttyS1"})", "modbus.rtu"},
           {R"({"rtu": {"port": "/dev/ttyS1", "baud": 9601}})", "modbus.rtu.baud"},
           {R"({"rtu": {"port": "/dev/ttyS1", "baud": "9600"}})", "modbus.rtu.baud"},
           {R"({"rtu": {"port": "/dev/ttyS1", "parity": "even"}})", "modbus.rtu.parity"},
           {R"({"rtu": {"port": "/dev/ttyS1", "data_bits": 9}})", "modbus.rtu.data_bits"},
           {R"({"rtu": {"port": "/dev/ttyS1", "stop_bits": 0}})", "modbus.rtu.stop_bits"},
           {R"({"rtu": {"port": "/dev/ttyS1", "control": 1}})", "modbus.rtu.control"},
           {R"({"rtu": {"port": "/dev/ttyS1", "unit": 1}})", "modbus.rtu.unit"},
           {R"([])", "modbus"}}) {
    c = {};
    error.clear();
    EXPECT_FALSE(LoadModbus(Site(bad), "", c, error)) << bad;
    EXPECT_NE(error.find(member), std::string::npos) << bad << ": " << error;
  }
}

TEST(ModbusConfig, RtuAloneLeavesTcpOffAndTimesItsSilence) {
  ModbusConfig c;
  std::string error;
  ASSERT_TRUE(LoadModbus(Site(R"({"rtu": {"port": "/dev/ttyS1"}})"), "", c, error)) << error;
  EXPECT_FALSE(c.enabled);  // TCP only when asked for beside RTU
  EXPECT_TRUE(c.rtu.enabled);
  EXPECT_EQ(c.rtu.port, "/dev/ttyS1");
  EXPECT_EQ(c.rtu.baud, 9600);
  EXPECT_EQ(c.rtu.parity, 'E');
  EXPECT_FALSE(c.rtu.control);
  // 3.5 characters of 11 bits at 9600 baud; fixed above 19200.
  EXPECT_EQ(c.rtu.silence_us(), 4010);
  c = {};
  ASSERT_TRUE(LoadModbus(Site(R"({"listen": "127.0.0.1:1502", "control": true,
      "rtu": {"port": "/dev/ttyUSB0", "baud": 38400, "parity": "N", "stop_bits": 2,
              "control": true}})"),
                         "", c, error))
      << error;
  EXPECT_TRUE(c.enabled);
  EXPECT_TRUE(c.rtu.control);
  EXPECT_EQ(c.rtu.parity, 'N');
  EXPECT_EQ(c.rtu.silence_us(), 1750);
  c = {};
  ASSERT_TRUE(LoadModbus(Site(R"({"rtu": {"port": "/dev/ttyS1"}})"), "1502", c, error)) << error;
  EXPECT_TRUE(c.enabled);
  EXPECT_TRUE(c.rtu.enabled);
  // A member name from the file is shown escaped.
  c = {};
  EXPECT_FALSE(
      LoadModbus(Site("{\"rtu\": {\"port\": \"/dev/x\", \"a\\u001bb\": 1}}"), "", c, error));
  EXPECT_EQ(error.find('\x1b'), std::string::npos) << error;
}

TEST(ModbusConfig, UnitIdsFollowTheSiteOrderUnlessGiven) {
  ModbusConfig c;
  std::map<uint8_t, unsigned int> ids;
  std::string error;
  const std::vector<std::pair<unsigned int, std::string>> devices = {
      {10, "north"}, {20, "south"}, {30, "east"}};
  ASSERT_TRUE(AssignUnits(c, devices, ids, error)) << error;
  EXPECT_EQ(ids, (std::map<uint8_t, unsigned int>{{1, 10}, {2, 20}, {3, 30}}));
  c.units = {{"south", 17}, {"30", 9}};
  ASSERT_TRUE(AssignUnits(c, devices, ids, error)) << error;
  EXPECT_EQ(ids, (std::map<uint8_t, unsigned int>{{1, 10}, {17, 20}, {9, 30}}));
  c.units = {{"south", 1}};  // the first device keeps 1 by its place
  EXPECT_FALSE(AssignUnits(c, devices, ids, error));
  c.units = {{"west", 5}};
  EXPECT_FALSE(AssignUnits(c, devices, ids, error));
  EXPECT_NE(error.find("west"), std::string::npos);
  c.units = {{"north", 5}, {"south", 5}};
  EXPECT_FALSE(AssignUnits(c, devices, ids, error));
}

}  // namespace
