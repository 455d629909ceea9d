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
//
// Signatures. Every callable gets the signature inspect reads from Python
// code. A builtin reads it from a "name(params)\n--\n\n" head of its doc,
// which holds only defaults with a literal form; a function with another
// default (Device.CPU, an enum member, a tensor) becomes instead an object of
// the module's `_Function` class, which calls the compiled function and
// carries a real __signature__, and binds as a method. A class whose own
// __init__ (or __new__) is compiled gets its constructor signature, without
// self, as its __text_signature__, so inspect.signature(cls) works; Python
// subclasses with their own __init__ keep theirs. def_function and
// with_signature give module-level and stand-alone functions the same.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <map>
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
    return put(name, native_function(std::move(fn), name));
  }

  template <typename Func, typename... Extra>
  ClassBuilder& static_method(const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), py::scope(module_), extra...);
    return put(name, builtins().attr("staticmethod")(native_function(std::move(fn), name)));
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
    return put(name, builtins().attr("classmethod")(native_function(std::move(fn), name, "cls")));
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

  // Declares the parameters of the compiled method `name`, already added, as
  // `params` ("(self, name, **kwargs)"): for a method that takes *args and
  // **kwargs and parses them itself. `params` must be what it accepts.
  ClassBuilder& method_signature(const char* name, const char* params);

  // A Python function (a decorated method) gets the __qualname__ and
  // __module__ a def in the class body would give it.
  ClassBuilder& attr(const char* name, py::object value);

  // Creates the class through its metaclass, binds it in the module, fills
  // the ref and returns the class. A builder builds once.
  py::object build();

 private:
  ClassBuilder& put(const char* name, py::object value);
  static py::object make_property(const py::object& fget, const py::object& fset,
                                  const char* doc);
  static py::object builtins();
  // Makes a cpp_function behave as a function written in Python would: usable
  // as __init__, and with a signature that inspect can read. `first` names an
  // unannotated first parameter ("cls" for class methods).
  py::object native_function(py::object fn, const char* name, const char* first = nullptr);
  // "Name(params)" of the class's own compiled __new__ or __init__, without
  // its first parameter; empty when it has none or a default has no literal form.
  std::string constructor_signature() const;

  py::module_ module_;
  std::string name_;
  py::tuple bases_;
  py::object metaclass_;
  py::dict namespace_;
  std::map<std::string, std::string> declared_;  // method_signature's, by method name
  ClassRef ref_;
  bool built_ = false;
};

// What to bind for the cpp_function `fn` so that it reads as a Python function
// of `module` named `qualname`: `fn` itself with its text signature, or, when
// a default has no literal form, a `_Function` carrying its __signature__.
// `first` names an unannotated first parameter.
py::object with_signature(const py::module_& module, py::object fn, const std::string& qualname,
                          const char* first = nullptr);

// The inspect.Signature of the cpp_function `fn`, defaults as the objects they are.
py::object signature_of(const py::handle& fn, const char* first = nullptr);

// A callable of `module` (an object of its `_Function` class, made on first
// use) that calls `impl` and carries `signature` (an inspect.Signature),
// `doc`, __name__, __qualname__ and __module__ as a Python function does. As
// a class attribute it binds to instances as a method; it pickles by
// reference to `qualname` in `module`.
py::object signed_function(const py::module_& module, py::object impl, const std::string& qualname,
                           py::object signature, py::object doc);

// m.def(name, f, extra...) for a module-level function with a signature
// inspect can read (see with_signature).
template <typename Func, typename... Extra>
void def_function(py::module_& m, const char* name, Func&& f, const Extra&... extra) {
  m.def(name, std::forward<Func>(f), extra...);
  m.attr(name) = with_signature(m, m.attr(name), name);
}

// Imports `module` and returns its attribute `name` (from module import name).
py::object import_from(const char* module, const char* name);

// from `module` import each of `names`, binding them in `target`'s namespace.
void import_names(py::module_& target, const char* module, std::initializer_list<const char*> names);

}  // namespace orrery::bind
