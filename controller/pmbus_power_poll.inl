// Polling cycle and response dispatch of PMBusPower (included by pmbus_power.h).
#pragma once

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::RefreshStatus() {
  return 0;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::process_payload() {
  return 0;
}
