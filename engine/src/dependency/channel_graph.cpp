// The lasting channel graph: what the builder leaves behind, and how it reads.
#include <algorithm>
#include <ostream>
#include <sstream>
#include <utility>

#include "internal.h"

namespace orrery::dependency {

using detail::Op;
using detail::OpKind;
using detail::ValueInfo;

const Action Action::PruneConv = Action::prune(ModuleKind::Conv, Side::Output);
const Action Action::PruneRelatedConv = Action::prune(ModuleKind::Conv, Side::Input);
const Action Action::PruneGroupConv = Action::prune(ModuleKind::Conv, Side::Both);
const Action Action::PruneLinear = Action::prune(ModuleKind::Linear, Side::Output);
const Action Action::PruneRelatedLinear = Action::prune(ModuleKind::Linear, Side::Input);
const Action Action::PruneBatchnorm = Action::prune(ModuleKind::BatchNorm, Side::Both);
const Action Action::PrunePrelu = Action::prune(ModuleKind::PReLU, Side::Both);
const Action Action::PruneLayernorm = Action::prune(ModuleKind::LayerNorm, Side::Both);
const Action Action::PruneGroupnorm = Action::prune(ModuleKind::GroupNorm, Side::Both);
const Action Action::PruneParameter = Action::prune(ModuleKind::Parameter, Side::Both);
const Action Action::View = Action{Action::Type::View};
const Action Action::Refuse = Action{Action::Type::Refuse};

bool operator<(const Action& a, const Action& b) {
  if (a.type != b.type) return a.type < b.type;
  if (a.type != Action::Type::Prune) return false;
  return std::make_pair(a.kind, a.side) < std::make_pair(b.kind, b.side);
}

const char* action_name(Action action) {
  switch (action.type) {
    case Action::Type::View: return "view";
    case Action::Type::Refuse: return "refuse";
    case Action::Type::Prune: break;
  }
  const char* name = prune_function(action.kind, action.side);
  return name != nullptr ? name : "?";
}

namespace detail {

const char* op_kind_name(OpKind kind) {
  switch (kind) {
    case OpKind::Conv: return "conv";
    case OpKind::Linear: return "linear";
    case OpKind::Norm: return "norm";
    case OpKind::PReLU: return "prelu";
    case OpKind::Parameter: return "parameter";
    case OpKind::Same: return "same";
    case OpKind::Cat: return "cat";
    case OpKind::Split: return "split";
    case OpKind::Flatten: return "flatten";
    case OpKind::Shuffle: return "shuffle";
    case OpKind::Slice: return "slice";
    case OpKind::Refuse: return "refuse";
  }
  return "?";
}

std::string shape_text(const std::vector<int64_t>& shape) {
  std::ostringstream s;
  s << "[";
  for (size_t i = 0; i < shape.size(); ++i) s << (i ? ", " : "") << shape[i];
  s << "]";
  return s.str();
}

// As aten::slice clamps its bounds, and as aten::narrow checks them.
std::optional<Selection> select_channels(const Op& op, int64_t width) {
  if (width < 0 || op.step < 1) return std::nullopt;
  int64_t start = op.start < 0 ? op.start + width : op.start;
  if (op.length >= 0) {
    if (start < 0 || start > width || op.length > width - start) return std::nullopt;
    return Selection{start, start + op.length, 1};
  }
  int64_t stop = op.stop < 0 ? op.stop + width : op.stop;
  start = std::min(std::max<int64_t>(start, 0), width);
  stop = std::min(std::max(stop, start), width);
  return Selection{start, stop, op.step};
}

}  // namespace detail

int ChannelGraph::Impl::add_value(ValueInfo info) {
  values.push_back(std::move(info));
  return static_cast<int>(values.size() - 1);
}

int ChannelGraph::Impl::add_module(ModuleInfo info) {
  modules.push_back(std::move(info));
  module_ops.emplace_back();
  return static_cast<int>(modules.size() - 1);
}

int ChannelGraph::Impl::add_op(Op op) {
  const int id = static_cast<int>(ops.size());
  for (int v : op.ins) values[v].users.push_back(id);
  for (int v : op.outs) values[v].producer = id;
  if (op.module >= 0) module_ops[op.module].push_back(id);
  ops.push_back(std::move(op));
  return id;
}

std::vector<int64_t> ChannelGraph::Impl::channel_counts(const std::vector<ModuleSizes>& sizes) const {
  std::vector<int64_t> count(values.size(), -1);
  for (size_t v = 0; v < values.size(); ++v) {
    const auto& info = values[v];
    if (info.cdim >= 0 && info.cdim < static_cast<int64_t>(info.shape.size()))
      count[v] = info.shape[info.cdim];
  }
  // A tensor attribute's Parameter op may follow its first reads.
  for (const Op& op : ops) {
    if (op.kind == OpKind::Parameter)
      for (int o : op.outs) count[o] = sizes[op.module].out;
  }
  // Ops are stored in graph order, so inputs are final before outputs are set.
  for (const Op& op : ops) {
    switch (op.kind) {
      case OpKind::Conv:
      case OpKind::Linear:
        // A negative size is unknown: the trace's count stands.
        if (sizes[op.module].out >= 0) count[op.outs[0]] = sizes[op.module].out;
        break;
      case OpKind::Norm:
      case OpKind::PReLU:
      case OpKind::Same:
      case OpKind::Shuffle:
        if (!op.ins.empty())
          for (int o : op.outs) count[o] = count[op.ins[0]];
        break;
      case OpKind::Cat: {
        int64_t total = 0;
        for (int v : op.ins) total += count[v];
        count[op.outs[0]] = total;
        break;
      }
      case OpKind::Split:
        if (op.chunks > 0 && count[op.ins[0]] % op.chunks == 0)
          for (int o : op.outs) count[o] = count[op.ins[0]] / op.chunks;
        break;
      case OpKind::Flatten:
        if (!op.merges_blocks) count[op.outs[0]] = count[op.ins[0]] * op.block;
        else if (count[op.ins[0]] >= 0 && count[op.ins[0]] % op.block == 0)
          count[op.outs[0]] = count[op.ins[0]] / op.block;
        else
          count[op.outs[0]] = -1;
        break;
      case OpKind::Slice: {
        const auto selected = detail::select_channels(op, count[op.ins[0]]);
        count[op.outs[0]] = selected ? selected->size() : -1;
        break;
      }
      case OpKind::Parameter:
      case OpKind::Refuse:
        break;
    }
  }
  return count;
}

namespace {

void print_ports(std::ostream& os, const std::vector<int>& ports) {
  for (size_t i = 0; i < ports.size(); ++i) os << (i ? " %" : "%") << ports[i];
}

}  // namespace

void ChannelGraph::Impl::dump(std::ostream& os) const {
  os << "ChannelGraph: " << modules.size() << " modules, " << ops.size() << " operations, "
     << values.size() << " values\n";
  for (size_t m = 0; m < modules.size(); ++m)
  {
    os << "  module #" << m << " " << layer_kind(modules[m].kind).name << " '" << modules[m].path << "'";
    if (modules[m].kind == ModuleKind::Parameter) os << " channels@" << modules[m].dim;
    os << "\n";
  }
  for (size_t v = 0; v < values.size(); ++v) {
    const ValueInfo& info = values[v];
    os << "  %" << v << " " << (info.shaped ? detail::shape_text(info.shape) : "[?]");
    if (info.cdim >= 0) os << " channels@" << info.cdim;
    if (info.producer < 0) os << " from " << info.source;
    os << "\n";
  }
  for (size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    os << "  op #" << i << " " << detail::op_kind_name(op.kind);
    if (op.module >= 0) os << " '" << modules[op.module].path << "'";
    if (op.kind == OpKind::Flatten)
      os << " " << views[op.view].kind << (op.merges_blocks ? " merges blocks=" : " block=") << op.block;
    if (op.kind == OpKind::Slice) os << " " << op.what;
    if (op.kind == OpKind::Split && op.chunks > 0) os << " chunks=" << op.chunks;
    if (op.kind == OpKind::Shuffle) os << (op.major_fixed ? " groups=" : " group width=") << op.chunks;
    if (op.kind == OpKind::Linear && !op.linear_input_ok) os << " (input features are not channels)";
    os << ": ";
    print_ports(os, op.ins);
    os << " -> ";
    print_ports(os, op.outs);
    if (op.kind == OpKind::Refuse) os << "  (" << op.what << ")";
    os << "\n";
  }
}

ChannelGraph::ChannelGraph(const torch::jit::Graph& graph, const AttributeShapes& attribute_shapes)
    : ChannelGraph(std::vector<const torch::jit::Graph*>{&graph}, attribute_shapes) {}

ChannelGraph::ChannelGraph(const std::vector<const torch::jit::Graph*>& traces,
                           const AttributeShapes& attribute_shapes)
    : impl_(std::make_unique<Impl>()) {
  detail::build(traces, attribute_shapes, *impl_);
}
ChannelGraph::~ChannelGraph() = default;
ChannelGraph::ChannelGraph(ChannelGraph&&) noexcept = default;
ChannelGraph& ChannelGraph::operator=(ChannelGraph&&) noexcept = default;

const std::vector<ModuleInfo>& ChannelGraph::modules() const { return impl_->modules; }
const std::vector<ViewOpInfo>& ChannelGraph::view_ops() const { return impl_->views; }
const std::vector<std::string>& ChannelGraph::modules_that_ran() const { return impl_->ran; }
const std::vector<std::string>& ChannelGraph::attributes_read() const { return impl_->read; }

void ChannelGraph::dump(std::ostream& os) const { impl_->dump(os); }

std::ostream& operator<<(std::ostream& os, const ChannelGraph& graph) {
  graph.dump(os);
  return os;
}

}  // namespace orrery::dependency
