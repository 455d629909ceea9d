// orrery.framework.ext_bridge: training-loop extensions.
#include <torch/extension.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::import_names;

PYBIND11_MODULE(ext_bridge, m) {
  import_names(m, "orrery.core.loop.extension", {"EventSubscriber"});
  ClassBuilder(m, "Setup", {m.attr("EventSubscriber")}).build();
}
