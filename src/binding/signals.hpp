// Letting Ctrl-C and other signals stop a long operation.
#pragma once

namespace zelto::binding {

// The interrupt check (core/interrupt.hpp) that fit and run_heavy_logic ask on the calling
// thread: runs the interpreter's handlers of the signals that arrived since the last check, and
// throws the exception a handler raised (KeyboardInterrupt for Ctrl-C) as the call's error.
void check_signals();

}  // namespace zelto::binding
