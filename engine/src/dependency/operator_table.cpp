// The operators the dependency graph understands, and the check that a node
// is the overload its handler reads.
//
// A family lists, by position, the arguments its handler reads: the name the
// schema gives each and its kind. Before the handler runs, the node's schema
// (the overload the trace resolved) must have those arguments, nothing more
// than the family allows after them, and the result the handler expects. Any
// other overload, or a node whose arguments fit no schema, is refused with
// the overload named: reading `view.dtype` as a view with sizes, or `mean`
// without dims as a reduction over some of them, would plan wrong channels.
#include <c10/util/Exception.h>

#include <sstream>
#include <unordered_map>

#include "builder.h"

namespace orrery::dependency::detail {
namespace {

// ---- argument descriptions, for reading the table ---------------------------

Argument tensor(const char* name) { return {name, ArgKind::Tensor}; }
Argument tensors(const char* name) { return {name, ArgKind::TensorList}; }
Argument integer(const char* name) { return {name, ArgKind::Int}; }
Argument integers(const char* name) { return {name, ArgKind::IntList}; }
Argument boolean(const char* name) { return {name, ArgKind::Bool}; }
Argument any_tensor() { return {nullptr, ArgKind::Tensor}; }
Argument unread() { return {nullptr, ArgKind::Any}; }

Signature reads(std::vector<Argument> args, Rest rest = Rest::None, Result result = Result::Tensor) {
  return {std::move(args), rest, result, false};
}

Signature structural() { return {{}, Rest::Any, Result::Any, true}; }

std::vector<c10::Symbol> aten(std::initializer_list<const char*> names) {
  std::vector<c10::Symbol> out;
  for (const char* name : names) out.push_back(c10::Symbol::aten(name));
  return out;
}

// Teaching the graph another operator is one entry here: its symbols, the
// Builder method that reads it and the arguments that method reads. Families
// that read alike but name their arguments differently (swapaxes) are
// entries of their own with the same method.
std::vector<OperatorFamily> operator_families() {
  return {
      {{c10::prim::GetAttr}, &Builder::get_attr, structural()},
      {{c10::prim::Constant}, &Builder::constant, structural()},
      {{c10::prim::ListConstruct, c10::prim::TupleConstruct, c10::prim::DictConstruct}, &Builder::pack,
       structural()},
      {{c10::prim::ListUnpack}, &Builder::list_unpack, structural()},
      {{c10::prim::TupleUnpack}, &Builder::tuple_unpack, structural()},
      // Reading sizes leaves the channels alone, whatever the overload.
      {aten({"size", "dim", "numel", "Int", "Float", "ScalarImplicit", "len"}), &Builder::reads_sizes,
       reads({}, Rest::Any, Result::NoTensor)},
      {aten({"_convolution", "convolution", "conv1d", "conv2d", "conv3d", "conv_transpose1d",
             "conv_transpose2d", "conv_transpose3d"}),
       &Builder::conv, reads({tensor("input"), tensor("weight"), tensor("bias")}, Rest::Options)},
      {aten({"linear"}), &Builder::linear, reads({tensor("input"), tensor("weight"), tensor("bias")})},
      {aten({"prelu"}), &Builder::prelu, reads({tensor("self"), tensor("weight")})},
      // instance_norm's leading arguments are batch_norm's.
      {aten({"batch_norm", "instance_norm"}), &Builder::batch_norm,
       reads({tensor("input"), tensor("weight"), tensor("bias"), tensor("running_mean"), tensor("running_var")},
             Rest::Options)},
      {aten({"layer_norm"}), &Builder::layer_norm,
       reads({tensor("input"), integers("normalized_shape"), tensor("weight"), tensor("bias")}, Rest::Options)},
      {aten({"group_norm"}), &Builder::group_norm,
       reads({tensor("input"), integer("num_groups"), tensor("weight"), tensor("bias")}, Rest::Options)},
      {aten({"permute"}), &Builder::permute, reads({tensor("self"), integers("dims")})},
      {aten({"transpose", "swapdims"}), &Builder::transpose,
       reads({tensor("self"), integer("dim0"), integer("dim1")})},
      {aten({"swapaxes"}), &Builder::transpose, reads({tensor("self"), integer("axis0"), integer("axis1")})},
      {aten({"cat", "concat"}), &Builder::cat, reads({tensors("tensors"), integer("dim")})},
      // The pieces' sizes are not read: the trace's shapes of the pieces are.
      {aten({"split", "unsafe_split", "split_with_sizes"}), &Builder::split,
       reads({tensor("self"), unread(), integer("dim")}, Rest::None, Result::TensorList)},
      {aten({"chunk", "unsafe_chunk"}), &Builder::chunk,
       reads({tensor("self"), integer("chunks"), integer("dim")}, Rest::None, Result::TensorList)},
      {aten({"view"}), &Builder::view, reads({tensor("self"), integers("size")})},
      {aten({"reshape"}), &Builder::view, reads({tensor("self"), integers("shape")})},
      {aten({"_reshape_alias"}), &Builder::view, reads({tensor("self"), integers("size"), integers("stride")})},
      {aten({"flatten"}), &Builder::view, reads({tensor("self"), integer("start_dim"), integer("end_dim")})},
      {aten({"view_as", "reshape_as"}), &Builder::view, reads({tensor("self"), tensor("other")})},
      {aten({"unflatten"}), &Builder::view, reads({tensor("self"), integer("dim"), integers("sizes")})},
      // squeeze() and squeeze(dim) alike: the handler tells them apart.
      {aten({"squeeze"}), &Builder::unit_dims, reads({tensor("self")}, Rest::Options)},
      {aten({"unsqueeze"}), &Builder::unit_dims, reads({tensor("self"), integer("dim")})},
      {aten({"slice"}), &Builder::slice,
       reads({tensor("self"), integer("dim"), integer("start"), integer("end"), integer("step")})},
      {aten({"narrow"}), &Builder::narrow,
       reads({tensor("self"), integer("dim"), integer("start"), integer("length")})},
      // Padding of the channels is read apart from padding of other dimensions.
      {aten({"pad", "constant_pad_nd"}), &Builder::pad, reads({tensor("self"), integers("pad")}, Rest::Options)},
      {aten({"pixel_shuffle"}), &Builder::pixel_shuffle, reads({tensor("self"), integer("upscale_factor")})},
      {aten({"pixel_unshuffle"}), &Builder::pixel_shuffle, reads({tensor("self"), integer("downscale_factor")})},
      {aten({"channel_shuffle", "native_channel_shuffle"}), &Builder::channel_shuffle,
       reads({tensor("self"), integer("groups")})},
      {aten({"mean", "sum", "amax", "amin"}), &Builder::reduction,
       reads({tensor("self"), integers("dim"), boolean("keepdim")}, Rest::Options)},
      {aten({"softmax", "log_softmax"}), &Builder::softmax, reads({tensor("self"), integer("dim")}, Rest::Options)},
      // The LSQ fake quantizer: thd_neg, thd_pos and grad_factor are floats.
      {{c10::Symbol::fromQualString("orrery::lsq_quantize")}, &Builder::lsq_quantize,
       reads({tensor("x"), tensor("s")}, Rest::Options)},
      // Activations, pooling, padding, resampling and element-wise arithmetic:
      // the handler reads every tensor input and output itself.
      {aten({"relu", "relu_", "relu6", "hardtanh", "hardtanh_", "sigmoid", "sigmoid_", "tanh",
             "tanh_", "hardswish", "hardswish_", "hardsigmoid", "hardsigmoid_", "silu", "silu_",
             "gelu", "leaky_relu", "leaky_relu_", "elu", "elu_", "selu", "selu_", "celu",
             "softplus", "mish", "threshold", "threshold_", "dropout", "dropout_",
             "feature_dropout", "feature_dropout_", "alpha_dropout", "feature_alpha_dropout",
             "max_pool1d", "max_pool2d", "max_pool3d", "avg_pool1d", "avg_pool2d", "avg_pool3d",
             "adaptive_avg_pool1d", "adaptive_avg_pool2d", "adaptive_avg_pool3d",
             "adaptive_max_pool1d", "adaptive_max_pool2d", "adaptive_max_pool3d",
             "max_pool1d_with_indices", "max_pool2d_with_indices", "max_pool3d_with_indices",
             "reflection_pad1d", "reflection_pad2d", "reflection_pad3d",
             "replication_pad1d", "replication_pad2d", "replication_pad3d",
             "upsample_nearest1d", "upsample_nearest2d", "upsample_nearest3d",
             "upsample_linear1d", "upsample_bilinear2d", "upsample_bicubic2d",
             "upsample_trilinear3d", "contiguous", "clone", "detach", "to", "type_as", "abs",
             "abs_", "neg", "exp", "log", "sqrt", "rsqrt", "square", "clamp", "clamp_",
             "clamp_min", "clamp_min_", "clamp_max", "clamp_max_", "floor", "ceil", "round",
             "sign", "reciprocal", "add", "add_", "sub", "sub_", "rsub", "mul", "mul_", "div",
             "div_", "maximum", "minimum", "pow", "pow_", "where", "identity",
             "_autocast_to_reduced_precision", "_autocast_to_full_precision"}),
       &Builder::same, reads({any_tensor()}, Rest::Any)},
  };
}

const std::unordered_map<c10::Symbol, const OperatorFamily*>& operator_table() {
  static const std::vector<OperatorFamily> families = operator_families();
  static const std::unordered_map<c10::Symbol, const OperatorFamily*> table = [] {
    std::unordered_map<c10::Symbol, const OperatorFamily*> by_kind;
    for (const OperatorFamily& family : families) {
      for (c10::Symbol kind : family.kinds) {
        const bool fresh = by_kind.emplace(kind, &family).second;
        TORCH_INTERNAL_ASSERT(fresh, "operator ", kind.toQualString(),
                              " appears in two families of the dependency graph's table");
      }
    }
    return by_kind;
  }();
  return table;
}

// ---- matching a schema against a signature ----------------------------------

ArgKind kind_of(c10::TypePtr type) {
  if (auto optional = type->cast<c10::OptionalType>()) type = optional->getElementType();
  if (type->cast<c10::TensorType>()) return ArgKind::Tensor;
  // SymInt sizes are ints to a trace; ScalarType and Dimname are not.
  const auto integral = [](const c10::TypePtr& t) {
    return t->kind() == c10::TypeKind::IntType || t->kind() == c10::TypeKind::SymIntType;
  };
  if (integral(type)) return ArgKind::Int;
  if (type->kind() == c10::TypeKind::BoolType) return ArgKind::Bool;
  if (auto list = type->cast<c10::ListType>()) {
    if (list->getElementType()->cast<c10::TensorType>()) return ArgKind::TensorList;
    if (integral(list->getElementType())) return ArgKind::IntList;
  }
  return ArgKind::Any;
}

bool holds_tensors(c10::TypePtr type) {
  const ArgKind kind = kind_of(std::move(type));
  return kind == ArgKind::Tensor || kind == ArgKind::TensorList;
}

const char* kind_name(ArgKind kind) {
  switch (kind) {
    case ArgKind::Tensor: return "Tensor";
    case ArgKind::TensorList: return "Tensor[]";
    case ArgKind::Int: return "int";
    case ArgKind::IntList: return "int[]";
    case ArgKind::Bool: return "bool";
    case ArgKind::Any: break;
  }
  return "any";
}

std::string overload_name(const c10::FunctionSchema& schema) {
  return schema.overload_name().empty() ? schema.name() : schema.name() + "." + schema.overload_name();
}

// The arguments the family reads, as "self: Tensor, dim: int[]".
std::string described(const Signature& signature) {
  std::ostringstream s;
  for (size_t i = 0; i < signature.args.size(); ++i) {
    const Argument& arg = signature.args[i];
    s << (i ? ", " : "") << (arg.name ? arg.name : "_") << ": " << kind_name(arg.kind);
  }
  if (signature.rest != Rest::None) s << (signature.args.empty() ? "..." : ", ...");
  return s.str();
}

// What about the schema's arguments differs from the signature, or "".
std::string argument_mismatch(const c10::FunctionSchema& schema, const Signature& signature) {
  const auto& formals = schema.arguments();
  const auto& wanted = signature.args;
  std::ostringstream s;
  for (size_t i = 0; i < wanted.size() && i < formals.size(); ++i) {
    const c10::Argument& formal = formals[i];
    const bool named = wanted[i].name == nullptr || formal.name() == wanted[i].name;
    const bool kinded = wanted[i].kind == ArgKind::Any || kind_of(formal.real_type()) == wanted[i].kind;
    if (!named || !kinded) {
      s << "its argument " << i << " is '" << formal.name() << ": " << formal.real_type()->str() << "'";
      return s.str();
    }
  }
  if (formals.size() < wanted.size() || (signature.rest == Rest::None && formals.size() != wanted.size())) {
    s << "it takes " << formals.size() << " arguments";
    return s.str();
  }
  if (signature.rest == Rest::Options) {
    for (size_t i = wanted.size(); i < formals.size(); ++i) {
      if (holds_tensors(formals[i].real_type())) {
        s << "its argument '" << formals[i].name() << "' is a tensor that is not followed";
        return s.str();
      }
    }
  }
  return "";
}

std::string result_mismatch(const c10::FunctionSchema& schema, Result result) {
  const auto& returns = schema.returns();
  const ArgKind first = returns.empty() ? ArgKind::Any : kind_of(returns[0].type());
  const std::string returned = returns.empty() ? "nothing" : "'" + returns[0].type()->str() + "'";
  if (result == Result::Tensor && first != ArgKind::Tensor) return "it returns " + returned + ", not a tensor";
  if (result == Result::TensorList && first != ArgKind::TensorList)
    return "it returns " + returned + ", not a list of tensors";
  if (result == Result::NoTensor) {
    for (const c10::Argument& r : returns)
      if (holds_tensors(r.type())) return "it returns a tensor, which would not be followed";
  }
  return "";
}

std::string argument_types(const jit::Node* node) {
  std::ostringstream s;
  for (size_t i = 0; i < node->inputs().size(); ++i)
    s << (i ? ", " : "") << (is_tensor(node->input(i)) ? "Tensor" : node->input(i)->type()->str());
  return s.str();
}

}  // namespace

const OperatorFamily* find_family(c10::Symbol kind) {
  const auto& table = operator_table();
  auto family = table.find(kind);
  return family == table.end() ? nullptr : family->second;
}

std::string signature_mismatch(const jit::Node* node, const Signature& signature) {
  if (signature.structural) return "";
  const c10::FunctionSchema* schema = node->maybeSchema();
  if (schema == nullptr) {
    return std::string("operation ") + node->kind().toQualString() + " with arguments (" + argument_types(node) +
           ") matches none of its overloads, so the dependency graph cannot read it";
  }
  std::string wrong = argument_mismatch(*schema, signature);
  if (wrong.empty()) wrong = result_mismatch(*schema, signature.result);
  if (wrong.empty()) return "";
  return "operation " + overload_name(*schema) + " is an overload the dependency graph does not read: " + wrong +
         ", where the graph reads (" + described(signature) + ")";
}

bool read_by(const jit::Node* node, Handler handler) {
  const OperatorFamily* family = find_family(node->kind());
  return family != nullptr && family->handle == handler && signature_mismatch(node, family->signature).empty();
}

}  // namespace orrery::dependency::detail
