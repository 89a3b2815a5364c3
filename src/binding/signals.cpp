#include "binding/signals.hpp"

#include "binding/error.hpp"

namespace zelto::binding {

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw fetch_pending();
}

}  // namespace zelto::binding
