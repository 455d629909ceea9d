#include "class_builder.h"

#include <cstring>
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

py::object ClassBuilder::allow_init_name(py::object fn) {
  // A method is an instancemethod wrapping the builtin function whose
  // capsule holds pybind11's function record.
  py::handle func = fn;
  if (PyInstanceMethod_Check(func.ptr())) func = PyInstanceMethod_GET_FUNCTION(func.ptr());
  py::capsule record_capsule = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(func.ptr()));
  auto* record = record_capsule.get_pointer<py::detail::function_record>();
  for (; record != nullptr; record = record->next) record->is_constructor = false;
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
