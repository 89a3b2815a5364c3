// How a long operation lets the code that started it stop it.
#pragma once

namespace zelto {

// Asked on the thread that started an operation, at points where stopping leaves nothing half
// written: between a fit's steps, while that thread waits for the pool's workers, and where it
// runs the operation's work itself, at the looks its long leaves take at the operation's stop.
// It returns to let the operation go on, or throws to stop it: the exception reaches the caller
// once no work of the operation is in flight. A null check never stops anything.
using InterruptCheck = void (*)();

}  // namespace zelto
