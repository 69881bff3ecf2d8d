#include "qmx/ttime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

qmx_ttime get_ttime(const boost::posix_time::ptime& local_time) {
  qmx_ttime out{};
  if (local_time.is_special()) return out;
  const boost::gregorian::date d = local_time.date();
  const boost::posix_time::time_duration t = local_time.time_of_day();
  const unsigned year = static_cast<unsigned>(d.year());
  out[0] = static_cast<unsigned char>(year & 0xFF);
  out[1] = static_cast<unsigned char>(year >> 8);
  out[2] = static_cast<unsigned char>(d.month().as_number());
  out[3] = static_cast<unsigned char>(d.day().as_number());
  out[4] = static_cast<unsigned char>(t.hours());
  out[5] = static_cast<unsigned char>(t.minutes());
  out[6] = static_cast<unsigned char>(t.seconds());
  return out;
}
