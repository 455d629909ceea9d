// Building Python classes from C++, the way the interpreter builds them.
//
// pybind11's class_ wraps C++ types and cannot derive from a Python class.
// Every backend class derives from a Python base (the core's abstract classes,
// torch.nn.Module), so classes are made here exactly as a `class` statement
// makes them: resolve the metaclass from the bases (types.prepare_class, which
// honours __prepare__), fill the namespace with C++ callables, set __module__,
// __qualname__ and __doc__, call the metaclass, and bind the result in the
// module. The outcome is an ordinary Python class: isinstance/issubclass,
// super(), repr, pickling by reference and copy.deepcopy all behave natively.
//
//   ClassBuilder cls(m, "DeviceCast", {helper.attr("PreMakeCallback")}, doc);
//   ClassRef self_cls = cls.ref();   // the class, once built (like __class__)
//   cls.method("__call__", [](py::object self, py::object params, py::object model) {...},
//              py::arg("params"), py::arg("model"));
//   cls.build();
//
// Members:
//   method(name, f, extra...)          instance method; f takes `py::object self` first.
//                                      py::arg, py::kw_only, py::args, py::kwargs and
//                                      defaults work as in pybind11.
//   class_method / static_method       as classmethod / staticmethod.
//   property(name, getter[, setter])   getter(self) / setter(self, value).
//   attr(name, value)                  a plain class attribute.
// Zero-argument super() needs the __class__ cell that C++ functions lack;
// ClassRef::super(obj) is its stand-in: super(<this class>, obj).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace orrery::bind {

namespace py = pybind11;

// A reference to a class that may not exist yet. Copies share the slot, so a
// method can capture the ref before the class is built and use it when called.
class ClassRef {
 public:
  ClassRef() : slot_(std::make_shared<PyObject*>(nullptr)) {}

  // The class object; fails loudly if called before the class was built.
  py::object get() const;
  // super(<class>, obj): obj is an instance, or a subclass inside __new__.
  py::object super(const py::handle& obj) const;

 private:
  friend class ClassBuilder;
  // Classes live for the whole process: the slot keeps one strong reference
  // that is never released, so teardown order cannot touch a dead interpreter.
  std::shared_ptr<PyObject*> slot_;
};

class ClassBuilder {
 public:
  ClassBuilder(py::module_ module, std::string name, std::vector<py::object> bases,
               const char* doc = nullptr);

  ClassRef ref() const { return ref_; }

  template <typename Func, typename... Extra>
  ClassBuilder& method(const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), py::is_method(module_),
                        extra...);
    return put(name, native_function(std::move(fn)));
  }

  template <typename Func, typename... Extra>
  ClassBuilder& static_method(const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), py::scope(module_), extra...);
    return put(name, builtins().attr("staticmethod")(native_function(std::move(fn))));
  }

  // f takes `py::object cls` first; argument annotations name the others.
  template <typename Func, typename... Extra>
  ClassBuilder& class_method(const char* name, Func&& f, const Extra&... extra) {
    constexpr bool annotated =
        (std::is_same_v<Extra, py::arg> || ...) || (std::is_same_v<Extra, py::arg_v> || ...);
    py::object fn;
    if constexpr (annotated) {
      fn = py::cpp_function(std::forward<Func>(f), py::name(name), py::scope(module_),
                            py::arg("cls"), extra...);
    } else {
      fn = py::cpp_function(std::forward<Func>(f), py::name(name), py::scope(module_), extra...);
    }
    return put(name, builtins().attr("classmethod")(native_function(std::move(fn))));
  }

  template <typename Getter>
  ClassBuilder& property(const char* name, Getter&& getter, const char* doc = nullptr) {
    py::cpp_function fget(std::forward<Getter>(getter), py::name(name), py::scope(module_));
    return put(name, make_property(fget, py::none(), doc));
  }

  template <typename Getter, typename Setter>
  ClassBuilder& property(const char* name, Getter&& getter, Setter&& setter,
                         const char* doc = nullptr) {
    py::cpp_function fget(std::forward<Getter>(getter), py::name(name), py::scope(module_));
    py::cpp_function fset(std::forward<Setter>(setter), py::name(name), py::scope(module_));
    return put(name, make_property(fget, fset, doc));
  }

  ClassBuilder& attr(const char* name, py::object value) { return put(name, std::move(value)); }

  // Creates the class through its metaclass, binds it in the module, fills
  // the ref and returns the class. A builder builds once.
  py::object build();

 private:
  ClassBuilder& put(const char* name, py::object value);
  static py::object make_property(const py::object& fget, const py::object& fset,
                                  const char* doc);
  static py::object builtins();
  // Makes a cpp_function behave as a function written in Python would: usable
  // as __init__, and with a signature that inspect can read.
  static py::object native_function(py::object fn);

  py::module_ module_;
  std::string name_;
  py::tuple bases_;
  py::object metaclass_;
  py::dict namespace_;
  ClassRef ref_;
  bool built_ = false;
};

// Imports `module` and returns its attribute `name` (from module import name).
py::object import_from(const char* module, const char* name);

// from `module` import each of `names`, binding them in `target`'s namespace.
void import_names(py::module_& target, const char* module, std::initializer_list<const char*> names);

}  // namespace orrery::bind
