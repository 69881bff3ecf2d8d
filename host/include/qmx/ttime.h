#pragma once

#include <array>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "qmx/visibility.h"

// The host's 7-byte time stamp, stored at the end of every unit record:
//   byte 0-1  year, least significant byte first
//   byte 2    month 1-12
//   byte 3    day 1-31
//   byte 4    hour 0-23
//   byte 5    minute
//   byte 6    second
using qmx_ttime = std::array<unsigned char, 7>;

QMX_API qmx_ttime get_ttime(const boost::posix_time::ptime& local_time);
