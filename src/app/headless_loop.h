#pragma once
// Drives the core from poll() the way the dialog drives it from its message loop: a steady 250 ms
// timer, a drain whenever datagrams wait, and a flush when the socket has room again after a send
// found it full.

#include <csignal>

#include "survey/context.h"

namespace vyr {

class PosixUdpSocket;

// What the dialog's start buttons do: starts a survey over the list rows with `button`
// (RESUME_BUTTON or NEW_BUTTON), then asks every unit at once. Without rows nothing happens.
void pressStart(Context& context, int button);

// Runs the loop on `socket`, the socket under context.socket. Returns true once no survey is
// running; false when `timeoutMs` (negative: no limit) has passed or `*stop` has become non-zero.
// Either way the survey is left as it is for the caller to abort or close.
bool runUntilDone(Context& context, PosixUdpSocket& socket, int timeoutMs,
                  const volatile sig_atomic_t* stop = nullptr);

}  // namespace vyr
