#pragma once
// The console the command-line tools write to. One backend per system.

namespace vortlink::platform {

// Makes standard output take UTF-8 (so that "°" shows) and, on a terminal, line redrawing
// ("\r", "\x1b[K"). Called once at start-up, before anything is written.
void prepare_console();

// Whether standard output is a terminal that redraws lines in place; without one, progress
// is told in plain lines.
bool output_redraws_lines();

} // namespace vortlink::platform
