#pragma once

#include <cstdint>
#include <vector>
#include <string>

#include <json/value.h>

namespace k417t_run {

// The host's reading of a published rectifier image (type 5092): the group
// record followed by one 53-byte record per module. Returns a null value when
// the image is too short or its length does not match its module count.
Json::Value DecodeRectifierImage(const std::vector<unsigned char>& image);

// The host's reading of a published AC image (type 5091): the 32-byte screen
// record followed by one 30-byte record per input. Null when the length does
// not fit that layout.
Json::Value DecodeAcImage(const std::vector<unsigned char>& image);

// The host's reading of a published DC image (type 5093, 238 bytes). Null
// when the length differs.
Json::Value DecodeDcImage(const std::vector<unsigned char>& image);

// Any unit image by its type; null for an unknown type or a bad length.
Json::Value DecodeImage(int type, const std::vector<unsigned char>& image);

// "YYYY-MM-DD HH:MM:SS" from the 7-byte time stamp at `offset`, or "" when
// the image is too short.
std::string ImageTime(const std::vector<unsigned char>& image, size_t offset);

}  // namespace k417t_run
