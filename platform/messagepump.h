#pragma once

// The screens run their work inside event handlers on the one GUI thread. These are the
// only two ways they let time pass: one pass over the pending window messages, and a
// pause that deliberately lets nothing else run.
namespace platform {

// Handles the window messages that are pending now (input, paint, timer ticks) and
// returns; handlers run nested inside the caller.
void pumpMessages();

// Blocks the calling thread for the given time without handling any message.
void blockingPause(int milliseconds);

} // namespace platform
