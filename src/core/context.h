#pragma once
// Everything a survey touches, gathered in one place: a front-end builds a Context over its
// platform services and hands it to the operations of every layer. Tests build a fresh one per
// case.

#include "protocol/protocol_context.h"

namespace vyr {

struct Context final : ProtocolContext {
  using ProtocolContext::ProtocolContext;
};

}  // namespace vyr
