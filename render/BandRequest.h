// Asking the host for one area of the image through its advance-state
// callback.
#pragma once

#include <cstdint>

#include "plugin/HostInterface.h"

// The area of one request; the first four fields in the order of theRect.
struct BandRequest {
  int16_t top;
  int16_t left;
  int16_t bottom;   // exclusive
  int16_t right;    // exclusive
  int16_t loPlane;
  int16_t hiPlane;  // inclusive
};

// 0: the area lies at *data, rows *rowBytes apart. -128: the host has no
// advance-state callback (the user has been told; nothing was touched).
// Otherwise the host's own error, with *data null and *rowBytes 0.
ResultCode RequestBand(ExportRecord* stuff, const BandRequest* band, const uint8_t** data,
                       int32_t* rowBytes);
