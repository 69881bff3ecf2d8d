#pragma once

#include <cstdint>
#include <vector>

#include <json/value.h>

namespace k417t_run {

// The host's reading of a published rectifier image (type 5092): the group
// record followed by one 53-byte record per module. Returns a null value when
// the image is too short or its length does not match its module count.
Json::Value DecodeRectifierImage(const std::vector<unsigned char>& image);

// "YYYY-MM-DD HH:MM:SS" from the 7-byte time stamp at `offset`, or "" when
// the image is too short.
std::string ImageTime(const std::vector<unsigned char>& image, size_t offset);

}  // namespace k417t_run
