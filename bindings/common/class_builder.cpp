#include "class_builder.h"

// record_of() and native_function() read pybind11 internals: the capsule that a
// cpp_function holds as its self, and the fields of detail::function_record
// (name, doc, args, nargs, nargs_pos, has_args, has_kwargs, is_method,
// is_constructor, next, def). They are laid out so in pybind11 2.10 to 2.13;
// pybind11 3 keeps function records differently. The build refuses other
// versions too (CMakeLists.txt), saying why.
static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR >= 10 &&
                  PYBIND11_VERSION_MINOR <= 13,
              "ClassBuilder relies on pybind11 internals as they are in pybind11 2.10 to 2.13");

#include <cstdlib>
#include <cstring>
#include <string>
#include <stdexcept>

namespace orrery::bind {

py::object ClassRef::get() const {
  if (*slot_ == nullptr) {
    throw std::logic_error("class used before ClassBuilder::build() created it");
  }
  return py::reinterpret_borrow<py::object>(*slot_);
}

py::object ClassRef::super(const py::handle& obj) const {
  return py::module_::import("builtins").attr("super")(get(), obj);
}

ClassBuilder::ClassBuilder(py::module_ module, std::string name, std::vector<py::object> bases,
                           const char* doc)
    : module_(std::move(module)), name_(std::move(name)) {
  py::tuple base_tuple(bases.size());
  for (size_t i = 0; i < bases.size(); ++i) base_tuple[i] = bases[i];
  // The interpreter's own steps for a class statement: resolve_bases handles
  // __mro_entries__, prepare_class picks the most derived metaclass and calls
  // its __prepare__.
  py::module_ types = py::module_::import("types");
  bases_ = types.attr("resolve_bases")(base_tuple);
  py::tuple prepared = types.attr("prepare_class")(name_, bases_);
  metaclass_ = prepared[0];
  namespace_ = prepared[1];
  namespace_["__module__"] = module_.attr("__name__");
  namespace_["__qualname__"] = name_;
  if (doc != nullptr) namespace_["__doc__"] = doc;
}

ClassBuilder& ClassBuilder::put(const char* name, py::object value) {
  if (built_) throw std::logic_error("ClassBuilder: member added after build()");
  namespace_[name] = std::move(value);
  return *this;
}

py::object ClassBuilder::make_property(const py::object& fget, const py::object& fset,
                                       const char* doc) {
  return builtins().attr("property")(fget, fset, py::none(),
                                     doc ? py::object(py::str(doc)) : py::object(py::none()));
}

py::object ClassBuilder::builtins() { return py::module_::import("builtins"); }

namespace {

// pybind11's record of a function made by cpp_function; a method is an
// instancemethod wrapping the builtin whose capsule holds the record.
py::detail::function_record* record_of(py::handle fn) {
  if (PyInstanceMethod_Check(fn.ptr())) fn = PyInstanceMethod_GET_FUNCTION(fn.ptr());
  auto capsule = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(fn.ptr()));
  return capsule.get_pointer<py::detail::function_record>();
}

bool is_literal(const char* text) {
  try {
    py::module_::import("ast").attr("literal_eval")(text);
    return true;
  } catch (const py::error_already_set&) {
    return false;
  }
}

// "name(self, a, b=1, *args, c=2, **kwargs)": the parameter list as Python
// would show it. Empty when a default has no literal form, which inspect
// could not read back.
std::string text_signature(const py::detail::function_record& rec) {
  std::string text = std::string(rec.name) + "(";
  const size_t count = rec.nargs;
  const size_t kwargs_slot = rec.has_kwargs ? count - 1 : count;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    const bool named = i < rec.args.size() && rec.args[i].name != nullptr;
    const bool varargs = rec.has_args && i == rec.nargs_pos;
    std::string name;
    if (named) name = rec.args[i].name;
    else if (i == 0 && rec.is_method) name = "self";
    else if (varargs) name = "args";
    else if (i == kwargs_slot) name = "kwargs";
    else name = "arg" + std::to_string(i - (rec.is_method ? 1 : 0));
    if (varargs) {
      text += "*" + name;
      continue;
    }
    if (!rec.has_args && i == rec.nargs_pos && i < kwargs_slot) text += "*, ";
    if (i == kwargs_slot) {
      text += "**" + name;
      continue;
    }
    text += name;
    if (named && rec.args[i].value) {
      if (rec.args[i].descr == nullptr || !is_literal(rec.args[i].descr)) return {};
      text += "=" + std::string(rec.args[i].descr);
    }
  }
  return text + ")";
}

}  // namespace

py::object ClassBuilder::native_function(py::object fn) {
  auto* record = record_of(fn);
  // pybind11 treats any function named __init__ as the constructor of a
  // pybind11-bound type; ours initialise plain Python objects instead.
  for (auto* overload = record; overload != nullptr; overload = overload->next)
    overload->is_constructor = false;
  // Builtins read __text_signature__ from "sig\n--\n\n" at the head of their
  // doc, which makes inspect.signature (and help) work as for Python code.
  const std::string signature = text_signature(*record);
  if (!signature.empty() && record->next == nullptr) {
    std::string doc = signature + "\n--\n\n" + (record->doc ? record->doc : "");
    std::free(const_cast<char*>(record->def->ml_doc));
    record->def->ml_doc = strdup(doc.c_str());
  }
  return fn;
}

py::object ClassBuilder::build() {
  if (built_) throw std::logic_error("ClassBuilder: build() called twice");
  built_ = true;
  py::object cls = metaclass_(name_, bases_, namespace_);
  module_.attr(name_.c_str()) = cls;
  *ref_.slot_ = cls.inc_ref().ptr();
  return cls;
}

py::object import_from(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

void import_names(py::module_& target, const char* module,
                  std::initializer_list<const char*> names) {
  py::module_ source = py::module_::import(module);
  for (const char* name : names) target.attr(name) = source.attr(name);
}

}  // namespace orrery::bind
