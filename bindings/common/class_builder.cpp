#include "class_builder.h"

// record_of() and the signature helpers read pybind11 internals: the capsule
// that a cpp_function holds as its self, and the fields of
// detail::function_record (name, doc, args with their name, value and descr,
// nargs, nargs_pos, nargs_pos_only, has_args, has_kwargs, is_method,
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
#include <vector>

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

// One parameter of a compiled function, as inspect.Parameter describes it.
struct Parameter {
  enum Kind { kPositionalOnly, kPositional, kVarPositional, kKeywordOnly, kVarKeyword };
  std::string name;
  Kind kind = kPositional;
  py::handle value;             // the default, or null
  const char* descr = nullptr;  // its repr
};

// The parameters of a function record in Python's order. The record lists
// the named (non-star) parameters in `args`; the C++ function takes *args at
// position nargs_pos when has_args (later named ones are keyword-only), and
// **kwargs last. Without *args, named parameters from nargs_pos on are
// keyword-only (py::kw_only).
std::vector<Parameter> parameters_of(const py::detail::function_record& rec, const char* first) {
  std::vector<Parameter> out;
  const size_t named = rec.nargs - (rec.has_args ? 1 : 0) - (rec.has_kwargs ? 1 : 0);
  auto var_positional = [&] {
    Parameter p;
    p.name = "args";
    p.kind = Parameter::kVarPositional;
    out.push_back(p);
  };
  for (size_t i = 0; i < named; ++i) {
    if (rec.has_args && i == rec.nargs_pos) var_positional();
    Parameter p;
    const py::detail::argument_record* arg = i < rec.args.size() ? &rec.args[i] : nullptr;
    if (arg != nullptr && arg->name != nullptr) p.name = arg->name;
    else if (i == 0 && first != nullptr) p.name = first;
    else if (i == 0 && rec.is_method) p.name = "self";
    else p.name = "arg" + std::to_string(i - (rec.is_method ? 1 : 0));
    p.kind = i < rec.nargs_pos_only ? Parameter::kPositionalOnly
             : i < rec.nargs_pos    ? Parameter::kPositional
                                    : Parameter::kKeywordOnly;
    if (arg != nullptr && arg->value) {
      p.value = arg->value;
      p.descr = arg->descr;
    }
    out.push_back(p);
  }
  if (rec.has_args && rec.nargs_pos >= named) var_positional();
  if (rec.has_kwargs) {
    Parameter p;
    p.name = "kwargs";
    p.kind = Parameter::kVarKeyword;
    out.push_back(p);
  }
  return out;
}

// "(self, a, b=1, *args, c=2, **kwargs)": the parameter list as Python would
// show it, from the `skip`-th parameter on. Empty when a default has no
// literal form, which inspect could not read back.
std::string text_signature(const std::vector<Parameter>& params, size_t skip = 0) {
  std::string text = "(";
  bool starred = false;  // a * or *args already separates the keyword-only ones
  for (size_t i = skip; i < params.size(); ++i) {
    const Parameter& p = params[i];
    if (i > skip) text += ", ";
    switch (p.kind) {
      case Parameter::kVarPositional:
        text += "*" + p.name;
        starred = true;
        continue;
      case Parameter::kVarKeyword:
        text += "**" + p.name;
        continue;
      case Parameter::kKeywordOnly:
        if (!starred) text += "*, ";
        starred = true;
        break;
      default:
        break;
    }
    text += p.name;
    if (p.value) {
      if (p.descr == nullptr || !is_literal(p.descr)) return {};
      text += "=" + std::string(p.descr);
    }
    const bool last_positional_only =
        p.kind == Parameter::kPositionalOnly &&
        (i + 1 == params.size() || params[i + 1].kind != Parameter::kPositionalOnly);
    if (last_positional_only) text += ", /";
  }
  return text + ")";
}

// Puts "name(params)\n--\n\n" at the head of a builtin's doc: builtins read
// their __text_signature__ there, which makes inspect.signature (and help)
// work as for Python code.
void set_text_signature(py::detail::function_record* record, const std::string& params) {
  std::string doc = std::string(record->name) + params + "\n--\n\n" + (record->doc ? record->doc : "");
  std::free(const_cast<char*>(record->def->ml_doc));
  record->def->ml_doc = strdup(doc.c_str());
}

bool is_cpp_function(const py::handle& fn) {
  py::handle f = fn;
  if (PyInstanceMethod_Check(f.ptr())) f = PyInstanceMethod_GET_FUNCTION(f.ptr());
  if (!PyCFunction_Check(f.ptr())) return false;
  PyObject* self = PyCFunction_GET_SELF(f.ptr());
  return self != nullptr && PyCapsule_CheckExact(self);
}

}  // namespace

py::object signature_of(const py::handle& fn, const char* first) {
  const auto params = parameters_of(*record_of(fn), first);
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  const char* kinds[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL",
                         "KEYWORD_ONLY", "VAR_KEYWORD"};
  py::list list;
  for (const Parameter& p : params) {
    py::object kind = parameter.attr(kinds[p.kind]);
    list.append(p.value ? parameter(p.name, kind, py::arg("default") = p.value)
                        : parameter(p.name, kind));
  }
  return inspect.attr("Signature")(list);
}

py::object signed_function(const py::module_& module, py::object impl, const std::string& qualname,
                           py::object signature, py::object doc) {
  py::object cls = py::getattr(module, "_Function", py::none());
  if (cls.is_none()) {
    // The class every such function of the module is an object of.
    ClassBuilder builder(module, "_Function", {py::module_::import("builtins").attr("object")},
                         "A compiled function that carries its signature, as a Python function "
                         "does.");
    builder.method(
        "__call__",
        [](py::object self, py::args args, py::kwargs kwargs) {
          return self.attr("_impl")(*args, **kwargs);
        },
        "Calls the compiled function with the arguments given.");
    builder.method(
        "__get__",
        [](py::object self, py::object instance, py::object owner) -> py::object {
          if (instance.is_none()) return self;
          return py::module_::import("types").attr("MethodType")(self, instance);
        },
        py::arg("instance"), py::arg("owner") = py::none(),
        "Binds the function to `instance` as a method, as a Python function does.");
    builder.method(
        "__repr__",
        [](py::object self) { return "<function " + std::string(py::str(self.attr("__qualname__"))) + ">"; },
        "'<function qualname>', as for a Python function.");
    // Pickled and copied by reference, as functions and methods are.
    builder.method(
        "__reduce__", [](py::object self) { return self.attr("__qualname__"); },
        "The qualified name: the function pickles by reference.");
    cls = builder.build();
  }
  py::object fn = cls();
  const auto dot = qualname.rfind('.');
  fn.attr("_impl") = std::move(impl);
  fn.attr("__name__") = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
  fn.attr("__qualname__") = qualname;
  fn.attr("__module__") = module.attr("__name__");
  fn.attr("__doc__") = std::move(doc);
  fn.attr("__signature__") = std::move(signature);
  return fn;
}

py::object with_signature(const py::module_& module, py::object fn, const std::string& qualname,
                          const char* first) {
  auto* record = record_of(fn);
  if (record->next != nullptr) return fn;  // overloads have no single signature
  const std::string params = text_signature(parameters_of(*record, first));
  if (!params.empty()) {
    set_text_signature(record, params);
    return fn;
  }
  py::object doc = record->doc ? py::object(py::str(record->doc)) : py::object(py::none());
  return signed_function(module, fn, qualname, signature_of(fn, first), doc);
}

py::object ClassBuilder::native_function(py::object fn, const char* name, const char* first) {
  auto* record = record_of(fn);
  // pybind11 treats any function named __init__ as the constructor of a
  // pybind11-bound type; ours initialise plain Python objects instead.
  for (auto* overload = record; overload != nullptr; overload = overload->next)
    overload->is_constructor = false;
  return with_signature(module_, fn, name_ + "." + name, first);
}

ClassBuilder& ClassBuilder::method_signature(const char* name, const char* params) {
  if (built_ || !namespace_.contains(name) || !is_cpp_function(namespace_[name])) {
    throw std::logic_error(std::string("ClassBuilder::method_signature: no compiled method ") + name);
  }
  set_text_signature(record_of(namespace_[name]), params);
  declared_[name] = params;
  return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
  if (py::isinstance(value, py::module_::import("types").attr("FunctionType"))) {
    value.attr("__qualname__") = name_ + "." + name;
    value.attr("__module__") = module_.attr("__name__");
  }
  return put(name, std::move(value));
}

std::string ClassBuilder::constructor_signature() const {
  // The order inspect follows: the class's own __new__, else its own __init__.
  py::object ctor;
  if (namespace_.contains("__new__")) {
    ctor = py::getattr(namespace_["__new__"], "__func__", py::none());
  } else if (namespace_.contains("__init__")) {
    ctor = namespace_["__init__"];
  }
  if (!ctor || !is_cpp_function(ctor)) return {};
  const char* which = namespace_.contains("__new__") ? "__new__" : "__init__";
  if (declared_.count(which)) {
    // The declared list without its first parameter.
    const std::string& declared = declared_.at(which);
    const auto comma = declared.find(',');
    return name_ + (comma == std::string::npos ? "()" : "(" + declared.substr(comma + 2));
  }
  const std::string params = text_signature(parameters_of(*record_of(ctor), nullptr), 1);
  return params.empty() ? std::string() : name_ + params;
}

py::object ClassBuilder::build() {
  if (built_) throw std::logic_error("ClassBuilder: build() called twice");
  built_ = true;
  // A compiled constructor's signature goes to the head of the class's
  // internal doc (tp_doc), where type.__text_signature__ reads it; __doc__
  // itself is then given back its own text.
  const std::string signature = constructor_signature();
  py::object doc = namespace_.contains("__doc__") ? py::object(namespace_["__doc__"]) : py::object(py::none());
  if (!signature.empty()) {
    namespace_["__doc__"] = signature + "\n--\n\n" + (doc.is_none() ? std::string() : std::string(py::str(doc)));
  }
  py::object cls = metaclass_(name_, bases_, namespace_);
  if (!signature.empty()) cls.attr("__doc__") = doc;
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
