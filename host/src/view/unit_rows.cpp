#include "view/unit_rows.h"

#include <cstddef>

#include "units/ac/tele_c_k417t_ac.h"
#include "units/dc/tele_c_k417t_dc.h"
#include "units/rc/tele_c_k417t_rc.h"
#include "view/unit_values.h"

namespace qmx::view {
namespace {

using K = Section::Kind;
using R = Row::Read;
using S = SnmpPlace::As;
using AcScreen = tele_c_k417t_ac;
using AcInput = tele_c_k417t_ac_channel;
using Group = tele_c_k417t_rc;
using Module = tele_c_k417t_rc_channel;
using Dc = tele_c_k417t_dc;

// K417T-MIB tables under k417tObjects.
enum : uint32_t {
  kMibAcInputs = 3,
  kMibAcPhases = 4,
  kMibRectGroups = 5,
  kMibRectModules = 6,
  kMibDcUnits = 7,
  kMibFuses = 8,
  kMibDcValues = 9
};

// State codes. SNMP numbers: K417tLevelState (normal 1, low 2, high 3,
// missing 4, phaseMissing 5, other 6) and the module columns' own
// enumerations.
const States kVoltageStates{{{0, "normal", 1, false},
                             {1, "low", 2, true},
                             {2, "high", 3, true},
                             {3, "phase missing", 5, true}},
                            nullptr,
                            6,
                            true};
const States kCurrentStates{
    {{0, "normal", 1, false}, {1, "low", 2, true}, {2, "high", 3, true}, {3, "missing", 4, true}},
    nullptr,
    6,
    true};
const States kLevelStates{
    {{0, "normal", 1, false}, {1, "low", 2, true}, {2, "high", 3, true}}, nullptr, 6, true};
// Rectifier module state bytes, in the order received: on/off, current
// limit, charge mode (the usual codings of this protocol family). A module
// switched off is not a fault (a plant runs spare modules).
const States kOnOff{{{0, "on", 1, false}, {1, "off", 2, false}}, nullptr, 3, false};
const States kLimit{{{0, "limiting", 1, false}, {1, "not limiting", 2, false}}, nullptr, 3, false};
const States kCharge{
    {{0, "float", 1, false}, {1, "equalize", 2, false}, {2, "test", 3, false}}, nullptr, 4, false};
const States kModuleFault{{{1, "fault", 2, true}}, "normal", 1, false, false};
const States kFuseFault{{{3, "fault", 2, true}}, "normal", 1, false, false};

const Section kOnce{K::kOnce, "", 0, 0, -1, 0};
const Section kAcInputs{K::kRecords, "input", sizeof(AcScreen), sizeof(AcInput), -1, 0};
const Section kModules{K::kRecords,
                       "module",
                       sizeof(Group),
                       sizeof(Module),
                       static_cast<int>(offsetof(Group, module_count)),
                       0};
const Section kAcParams{K::kList, "ac_param", 0, sizeof(float), -1, 5};
const Section kDcParams{K::kList, "dc_param", 0, sizeof(float), -1, 2};
const Section kDcM{K::kList,    "m", 0, sizeof(float), static_cast<int>(offsetof(Dc, dc_m)),
                   Dc::M_SIZE()};
const Section kDcUser{
    K::kList, "user", 0, sizeof(float), static_cast<int>(offsetof(Dc, p_count)), Dc::P_SIZE()};
const Section kFuses{K::kList,          "fuse", 0, 1, static_cast<int>(offsetof(Dc, alert_m)),
                     Dc::ALERT_M_SIZE()};

SnmpPlace Reading(uint32_t table, uint32_t column, uint32_t fixed = 0) {
  SnmpPlace p;
  p.as = S::kReading;
  p.table = table;
  p.column = column;
  p.status_column = column + 1;
  p.fixed = fixed;
  return p;
}
SnmpPlace State(uint32_t table, uint32_t column, uint32_t fixed = 0) {
  SnmpPlace p;
  p.as = S::kState;
  p.table = table;
  p.column = column;
  p.fixed = fixed;
  return p;
}

Row Measure(const Section& s, const char* key, const char* label, const char* group, Quantity q,
            const char* unit, size_t offset, const char* metric,
            std::vector<std::pair<const char*, const char*>> labels, SnmpPlace snmp) {
  Row r;
  r.section = &s;
  r.key = key;
  r.label = label;
  r.group = group;
  r.quantity = q;
  r.unit = unit;
  r.offset = offset;
  r.metric = metric;
  r.metric_labels = std::move(labels);
  r.precision = 2;
  r.snmp = snmp;
  return r;
}

Row StateRow(const Section& s, const char* key, const char* label, const char* group, size_t offset,
             const States& states, StateEntity entity, const char* metric,
             std::vector<std::pair<const char*, const char*>> labels, SnmpPlace snmp) {
  Row r;
  r.section = &s;
  r.key = key;
  r.label = label;
  r.group = group;
  r.quantity = Quantity::kState;
  r.read = R::kState;
  r.offset = offset;
  r.states = &states;
  r.entity = entity;
  r.metric = metric;
  r.metric_labels = std::move(labels);
  r.snmp = snmp;
  return r;
}

std::vector<Row> AcRows() {
  const auto V = Quantity::kVoltage;
  const auto E = StateEntity::kEnum;
  std::vector<Row> rows = {
      Measure(kAcInputs, "channel_{i}_a", "Input {n} voltage AB/A", "Input {n}", V, "V",
              offsetof(AcInput, a), "k417t_ac_voltage_volts", {{"input", "{n}"}, {"phase", "a"}},
              Reading(kMibAcInputs, 2)),
      Measure(kAcInputs, "channel_{i}_b", "Input {n} voltage BC/B", "Input {n}", V, "V",
              offsetof(AcInput, b), "k417t_ac_voltage_volts", {{"input", "{n}"}, {"phase", "b"}},
              Reading(kMibAcInputs, 4)),
      Measure(kAcInputs, "channel_{i}_c", "Input {n} voltage CA/C", "Input {n}", V, "V",
              offsetof(AcInput, c), "k417t_ac_voltage_volts", {{"input", "{n}"}, {"phase", "c"}},
              Reading(kMibAcInputs, 6)),
      Measure(kAcInputs, "channel_{i}_f", "Input {n} frequency", "Input {n}", Quantity::kFrequency,
              "Hz", offsetof(AcInput, f), "k417t_ac_frequency_hertz", {{"input", "{n}"}},
              Reading(kMibAcInputs, 8)),
      StateRow(kAcInputs, "channel_{i}_a_alert", "Input {n} voltage AB/A state", "Input {n}",
               offsetof(AcInput, a_alert), kVoltageStates, E, "k417t_ac_input_alert",
               {{"input", "{n}"}, {"phase", "a"}}, State(kMibAcInputs, 10)),
      StateRow(kAcInputs, "channel_{i}_b_alert", "Input {n} voltage BC/B state", "Input {n}",
               offsetof(AcInput, b_alert), kVoltageStates, E, "k417t_ac_input_alert",
               {{"input", "{n}"}, {"phase", "b"}}, State(kMibAcInputs, 11)),
      StateRow(kAcInputs, "channel_{i}_c_alert", "Input {n} voltage CA/C state", "Input {n}",
               offsetof(AcInput, c_alert), kVoltageStates, E, "k417t_ac_input_alert",
               {{"input", "{n}"}, {"phase", "c"}}, State(kMibAcInputs, 12)),
      StateRow(kAcInputs, "channel_{i}_f_alert", "Input {n} frequency state", "Input {n}",
               offsetof(AcInput, f_alert), kLevelStates, E, "k417t_ac_input_alert",
               {{"input", "{n}"}, {"phase", "f"}}, State(kMibAcInputs, 13)),
  };
  const char* keys[] = {"ia", "ib", "ic"};
  const char* labels[] = {"Phase A current", "Phase B current", "Phase C current"};
  const char* phases[] = {"a", "b", "c"};
  const size_t at[] = {offsetof(AcScreen, ia), offsetof(AcScreen, ib), offsetof(AcScreen, ic)};
  for (uint32_t p = 0; p < 3; ++p) {
    Row r = Measure(kOnce, keys[p], labels[p], "Phase currents", Quantity::kCurrent, "A", at[p],
                    "k417t_ac_current_amperes", {{"phase", phases[p]}},
                    Reading(kMibAcPhases, 2, p + 1));
    r.read = R::kFloatMarked;
    rows.push_back(r);
  }
  const char* state_keys[] = {"ia_alert", "ib_alert", "ic_alert"};
  const char* state_labels[] = {"Phase A current state", "Phase B current state",
                                "Phase C current state"};
  const size_t state_at[] = {offsetof(AcScreen, ia_alert), offsetof(AcScreen, ib_alert),
                             offsetof(AcScreen, ic_alert)};
  for (uint32_t p = 0; p < 3; ++p)
    rows.push_back(StateRow(kOnce, state_keys[p], state_labels[p], "Phase currents", state_at[p],
                            kCurrentStates, E, "k417t_ac_current_alert", {{"phase", phases[p]}},
                            State(kMibAcPhases, 4, p + 1)));
  return rows;
}

std::vector<Row> RectifierRows() {
  std::vector<Row> rows;
  rows.push_back(Measure(kOnce, "rc_value", "Output voltage", "Group", Quantity::kVoltage, "V",
                         offsetof(Group, rc_value), "k417t_rectifier_output_voltage_volts", {},
                         Reading(kMibRectGroups, 1)));
  // The sum of the modules that have a reading; none: no value.
  Row total = Measure(kOnce, "total_current", "Total current", "Group", Quantity::kCurrent, "A",
                      offsetof(Module, module_value), "k417t_rectifier_current_amperes", {},
                      Reading(kMibRectGroups, 3));
  total.read = R::kSum;
  total.sum_of = &kModules;
  rows.push_back(total);
  Row count = Measure(kOnce, "module_count", "Modules", "Group", Quantity::kValue, "",
                      offsetof(Group, module_count), "", {}, {});
  count.read = R::kCount;
  count.precision = 0;
  count.snmp.as = S::kGauge;
  count.snmp.table = kMibRectGroups;
  count.snmp.column = 5;
  rows.push_back(count);
  rows.push_back(Measure(kModules, "module_{i}_current", "Module {n} current", "Module {n}",
                         Quantity::kCurrent, "A", offsetof(Module, module_value),
                         "k417t_rectifier_module_current_amperes", {{"module", "{n}"}},
                         Reading(kMibRectModules, 2)));
  Row state = StateRow(kModules, "module_{i}_state", "Module {n} state", "Module {n}",
                       offsetof(Module, module_state), kOnOff, StateEntity::kEnum, "", {},
                       State(kMibRectModules, 4));
  state.raw_bytes = 3;  // on/off, limit and charge mode as received
  rows.push_back(state);
  rows.push_back(StateRow(kModules, "module_{i}_limit", "Module {n} current limit", "Module {n}",
                          offsetof(Module, module_state) + 1, kLimit, StateEntity::kNone, "", {},
                          State(kMibRectModules, 5)));
  rows.push_back(StateRow(kModules, "module_{i}_charge", "Module {n} charge mode", "Module {n}",
                          offsetof(Module, module_state) + 2, kCharge, StateEntity::kEnum, "", {},
                          State(kMibRectModules, 6)));
  rows.push_back(StateRow(kModules, "module_{i}_fault", "Module {n} fault", "Module {n}",
                          offsetof(Module, fault_state), kModuleFault, StateEntity::kProblem,
                          "k417t_rectifier_module_fault", {{"module", "{n}"}},
                          State(kMibRectModules, 7)));
  for (const auto& [section, key, label, at] :
       {std::make_tuple(&kAcParams, "ac_param_{i}", "AC parameter {n}", offsetof(Group, ac_param)),
        std::make_tuple(&kDcParams, "dc_param_{i}", "DC parameter {n}",
                        offsetof(Group, dc_param))}) {
    Row r = Measure(*section, key, label, "Parameters", Quantity::kParameter, "", at, "", {}, {});
    r.diagnostic = true;
    r.precision = -1;
    rows.push_back(r);
  }
  return rows;
}

std::vector<Row> DcRows() {
  std::vector<Row> rows = {
      Measure(kOnce, "v", "Output voltage", "Output", Quantity::kVoltage, "V", offsetof(Dc, v),
              "k417t_dc_voltage_volts", {}, Reading(kMibDcUnits, 1)),
      Measure(kOnce, "i", "Current", "Output", Quantity::kCurrent, "A", offsetof(Dc, i),
              "k417t_dc_current_amperes", {}, Reading(kMibDcUnits, 3)),
      StateRow(kOnce, "v_state", "Output voltage state", "Output", offsetof(Dc, v_state),
               kLevelStates, StateEntity::kEnum, "k417t_dc_voltage_alert", {},
               State(kMibDcUnits, 5)),
  };
  for (const auto& [section, key, label, metric, at, list] :
       {std::make_tuple(&kDcM, "m_{i}", "Value m {n}", "k417t_dc_list_value", offsetof(Dc, m_value),
                        1u),
        std::make_tuple(&kDcUser, "user_{i}", "User value {n}", "k417t_dc_user_value",
                        offsetof(Dc, user_p), 2u)}) {
    SnmpPlace p = Reading(kMibDcValues, 5);
    p.name_column = 3;
    p.unit_column = 4;
    p.list = list;
    Row r = Measure(*section, key, label, "Values", Quantity::kValue, "", at, metric,
                    {{"index", "{n}"}, {"value_name", "{label}"}, {"uom", "{unit}"}}, p);
    r.site_named = true;
    if (section == &kDcUser) r.read = R::kFloatMarked;
    rows.push_back(r);
  }
  rows.push_back(StateRow(kFuses, "fuse_{i}", "Fuse {n}", "Fuses", offsetof(Dc, alert_m_state),
                          kFuseFault, StateEntity::kProblem, "k417t_dc_fuse_fault",
                          {{"fuse", "{n}"}}, State(kMibFuses, 2)));
  return rows;
}

}  // namespace

const std::vector<Row>& RowsOf(int type) {
  static const std::vector<Row> ac = AcRows(), rectifier = RectifierRows(), dc = DcRows(), none;
  switch (type) {
    case kAcType:
      return ac;
    case kRectifierType:
      return rectifier;
    case kDcType:
      return dc;
    default:
      return none;
  }
}

const std::vector<int>& RowTypes() {
  static const std::vector<int> types = {kAcType, kRectifierType, kDcType};
  return types;
}

}  // namespace qmx::view
