#pragma once
// Everything a survey touches, gathered in one place: a front-end builds a Context over its
// platform services and hands it to the driver's verbs. Tests build a fresh one per case.

#include <cstdint>

#include "protocol/protocol_context.h"

namespace vyr {

// What the driver keeps between two events: where a start in steps is, and what it held back.
struct DriverState {
  uint32_t startingSurvey = 0;  // the survey whose start has steps left, or 0
  bool asking = false;          // its indexes are built and its units are being asked
  int32_t askNext = 0;          // the first unit it has still to ask
  bool drainOwed = false;       // the socket became readable while the start was under way
  bool tickOwed = false;        // the timer came while the start was under way
  bool flushOwed = false;       // write readiness or the flush timer came meanwhile
  bool flushArmed = false;      // a flush is wanted at flushAt
  uint32_t flushAt = 0;
};

struct Context final : ProtocolContext {
  using ProtocolContext::ProtocolContext;

  DriverState driver;
};

}  // namespace vyr
