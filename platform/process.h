// SPDX-License-Identifier: MIT
// Process-wide signal dispositions and the standard-input stream of the
// command loop.
//
// Interrupt (Ctrl+C) and broken pipes are ignored.  A termination or hang-up
// signal asks the program to stop: the command-loop stream then reports end
// of input, so the loop ends and the orderly stop sequence runs, exactly as
// when the launcher closes standard input.
//
// A server has no command loop and no launcher: it passes
// InterruptAction::kStop so that Ctrl+C stops it like a termination signal.
//
// Thread safety: Install/Restore on the main thread; RequestStop and
// StopRequested from any thread (RequestStop is async-signal-safe);
// StdinStream is read by the main thread only.
#pragma once

#include <istream>

namespace brelvane::platform {

enum class InterruptAction { kIgnore, kStop };

void InstallStopSignals(InterruptAction interrupt = InterruptAction::kIgnore);
void RestoreStopSignals();

// Makes the command-loop stream report end of input (also what the signals do).
void RequestStop();
bool StopRequested();

// Standard input, reporting end of input once a stop has been requested.
std::istream& StdinStream();

}  // namespace brelvane::platform
