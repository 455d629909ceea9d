// Test-only module: classes made with ClassBuilder that exercise every kind
// of member, so the Python tests can check they behave like Python classes.
#include <torch/extension.h>

#include <pybind11/eval.h>

#include "class_builder.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;

PYBIND11_MODULE(class_builder_probe, m) {

  // An abstract Python base, as the core's classes are.
  py::dict base_ns;
  py::exec(R"(
import abc
class Shape(abc.ABC):
    created = 0
    def __init__(self, name):
        self.name = name
        Shape.created += 1
    @abc.abstractmethod
    def area(self):
        ...
    def describe(self):
        return "shape " + self.name
)", base_ns);
  m.attr("Shape") = base_ns["Shape"];
  m.attr("Shape").attr("__module__") = m.attr("__name__");

  ClassBuilder square(m, "Square", {m.attr("Shape")}, "A square with a side.");
  auto square_cls = square.ref();
  square.method(
      "__init__",
      [square_cls](py::object self, double side, std::string name) {
        square_cls.super(self).attr("__init__")(name);
        self.attr("_side") = side;
      },
      py::arg("side"), py::arg("name") = "square");
  square.static_method(
      "__new__",
      [square_cls](py::object cls, py::args, py::kwargs) {
        py::object obj = square_cls.super(cls).attr("__new__")(cls);
        obj.attr("made_by_new") = true;
        return obj;
      },
      py::arg("cls"));
  square.method("area", [](py::object self) { return std::pow(self.attr("_side").cast<double>(), 2); },
                "Side times side.");
  square.method("describe", [square_cls](py::object self) {
    return py::str("{} of side {}")
        .format(square_cls.super(self).attr("describe")(), self.attr("_side"));
  });
  square.property(
      "side", [](py::object self) { return self.attr("_side"); },
      [](py::object self, double value) {
        if (value <= 0) throw py::value_error("side must be positive");
        self.attr("_side") = value;
      },
      "Length of a side.");
  square.property("perimeter", [](py::object self) { return 4 * self.attr("_side").cast<double>(); });
  square.class_method("unit", [](py::object cls) { return cls(1.0); });
  square.static_method("sides", []() { return 4; });
  square.method(
      "scaled", [](py::object self, double factor, bool copy) {
        if (!copy) {
          self.attr("_side") = self.attr("_side").cast<double>() * factor;
          return self;
        }
        return py::type::of(self)(self.attr("_side").cast<double>() * factor);
      },
      py::arg("factor") = 2.0, py::kw_only(), py::arg("copy") = true);
  square.method("collect", [](py::object self, py::args args, py::kwargs kwargs) {
    return py::make_tuple(args, kwargs);
  });
  square.attr("corners", py::int_(4));
  py::object square_type = square.build();

  // A torch.nn.Module subclass.
  ClassBuilder scale(m, "Scale", {py::module_::import("torch.nn").attr("Module")});
  auto scale_cls = scale.ref();
  scale.method(
      "__init__",
      [scale_cls](py::object self, int64_t channels) {
        scale_cls.super(self).attr("__init__")();
        self.attr("weight") = py::module_::import("torch.nn").attr("Parameter")(
            torch::ones({channels}));
      },
      py::arg("channels"));
  scale.method("forward", [](py::object self, torch::Tensor x) {
    return x * self.attr("weight").cast<torch::Tensor>().view({1, -1, 1, 1});
  });
  scale.build();

  // Defaults without a literal form, positional-only and keyword-only
  // parameters, an unannotated class method and a module-level function.
  py::object torch_module = py::module_::import("torch");
  ClassBuilder box(m, "TensorBox", {py::module_::import("builtins").attr("object")},
                   "Holds a dtype.");
  box.method(
      "__init__", [](py::object self, py::object dtype) { self.attr("dtype") = dtype; },
      py::arg("dtype") = torch_module.attr("float32"));
  box.method(
      "cast", [](py::object, py::object x, py::object dtype) { return x.attr("to")(dtype); },
      py::arg("x"), py::pos_only(), py::kw_only(), py::arg("dtype") = torch_module.attr("float64"),
      "x in dtype.");
  box.class_method("make", [](py::object cls) { return cls(); });
  box.build();
  orrery::bind::def_function(
      m, "zeros",
      [torch_module](int64_t n, py::object dtype) {
        return torch_module.attr("zeros")(n, py::arg("dtype") = dtype);
      },
      py::arg("n"), py::arg("dtype") = torch_module.attr("float32"), "n zeros of dtype.");

  // A class decorator applied after creation, as `@decorator` would.
  py::object registry = py::list();
  m.attr("registry") = registry;
  ClassBuilder tagged(m, "Tagged", {py::module_::import("builtins").attr("object")});
  py::object tagged_type = tagged.build();
  registry.attr("append")(tagged_type);
}
