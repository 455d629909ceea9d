// Refusals decided on a finished plan: module sizes and what the caller knows
// of the live model that the trace cannot show.
#include <gtest/gtest.h>

#include <torch/csrc/jit/ir/irparser.h>

#include <memory>
#include <string>
#include <vector>

#include "orrery_engine/dependency.h"

namespace dep = orrery::dependency;
using dep::Action;

namespace {

// x -> a (conv 3->8) -> gn (group norm, 2 groups) -> b (conv 8->4)
const char* kConvGroupNormConv = R"IR(
graph(%self : int, %x : Float(1, 3, 4, 4)):
  %none : NoneType = prim::Constant()
  %one : int = prim::Constant[value=1]()
  %two : int = prim::Constant[value=2]()
  %eps : float = prim::Constant[value=1.0000000000000001e-05]()
  %no : bool = prim::Constant[value=0]()
  %ones : int[] = prim::Constant[value=[1, 1]]()
  %zeros : int[] = prim::Constant[value=[0, 0]]()
  %a_m : int = prim::GetAttr[name="a"](%self)
  %a_w : Tensor = prim::GetAttr[name="weight"](%a_m)
  %ya : Float(1, 8, 4, 4) = aten::conv2d(%x, %a_w, %none, %ones, %zeros, %ones, %one)
  %gn_m : int = prim::GetAttr[name="gn"](%self)
  %gn_w : Tensor = prim::GetAttr[name="weight"](%gn_m)
  %gn_b : Tensor = prim::GetAttr[name="bias"](%gn_m)
  %yg : Float(1, 8, 4, 4) = aten::group_norm(%ya, %two, %gn_w, %gn_b, %eps, %no)
  %b_m : int = prim::GetAttr[name="b"](%self)
  %b_w : Tensor = prim::GetAttr[name="weight"](%b_m)
  %yb : Float(1, 4, 4, 4) = aten::conv2d(%yg, %b_w, %none, %ones, %zeros, %ones, %one)
  return (%yb)
)IR";

std::unique_ptr<dep::ChannelGraph> analyse(const std::string& ir) {
  auto graph = std::make_shared<torch::jit::Graph>();
  torch::jit::parseIR(ir, graph.get());
  return std::make_unique<dep::ChannelGraph>(*graph);
}

int64_t index_of(const dep::ChannelGraph& g, const std::string& path) {
  for (size_t i = 0; i < g.modules().size(); ++i)
    if (g.modules()[i].path == path) return static_cast<int64_t>(i);
  ADD_FAILURE() << "no module " << path;
  return -1;
}

// Sizes of a, gn and b in the graph's module order.
std::vector<dep::ModuleSizes> sizes_of(const dep::ChannelGraph& g) {
  std::vector<dep::ModuleSizes> sizes(g.modules().size());
  sizes[index_of(g, "a")] = {3, 8, 1};
  sizes[index_of(g, "gn")] = {8, 8, 2};
  sizes[index_of(g, "b")] = {8, 4, 1};
  return sizes;
}

std::vector<std::string> refusals(const std::vector<dep::Step>& steps) {
  std::vector<std::string> out;
  for (const auto& s : steps)
    if (s.action == Action::Refuse) out.push_back(s.reason);
  return out;
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

TEST(Policy, GroupNormsLoseChannelsEvenlyOrWholeGroups) {
  auto g = analyse(kConvGroupNormConv);
  const auto sizes = sizes_of(*g);
  const int64_t a = index_of(*g, "a");
  auto even = g->plan(a, dep::Side::Output, {1, 6}, sizes);
  EXPECT_TRUE(refusals(even).empty());
  EXPECT_EQ(even[1].action, Action::PruneGroupnorm);
  EXPECT_TRUE(refusals(g->plan(a, dep::Side::Output, {4, 5, 6, 7}, sizes)).empty());

  auto uneven = refusals(g->plan(a, dep::Side::Output, {0, 1, 5}, sizes));
  ASSERT_EQ(uneven.size(), 1u);
  EXPECT_TRUE(starts_with(uneven[0], "group norm 'gn' (num_groups=2) would lose 2 output channels from group 0 "
                                     "but 1 from group 1"))
      << uneven[0];
  // Every channel of every group: the norm would be emptied.
  auto all = refusals(g->plan(index_of(*g, "gn"), dep::Side::Both, {0, 1, 2, 3, 4, 5, 6, 7}, sizes));
  EXPECT_FALSE(all.empty());
}

TEST(Policy, HiddenCouplingsLeadThePlan) {
  auto g = analyse(kConvGroupNormConv);
  const auto sizes = sizes_of(*g);
  const int64_t a = index_of(*g, "a"), b = index_of(*g, "b");
  dep::ModelFacts facts;
  facts.modules.resize(g->modules().size());
  facts.modules[a].type_name = "Conv2d";
  facts.modules[a].tied = {{"weight", "shadow"}};
  facts.modules[b].same_object = {a};
  auto steps = g->plan(b, dep::Side::Input, {1, 5}, sizes, facts);
  const auto reasons = refusals(steps);
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_EQ(steps[0].action, Action::Refuse);
  EXPECT_EQ(reasons[0], "module 'b' is also called as 'a'; a module registered under two names cannot be pruned");
  EXPECT_EQ(reasons[1], "module 'a' shares its parameter 'weight' with 'shadow' (tied weights); untie them or "
                        "prune neither");
  EXPECT_THROW(g->plan(b, dep::Side::Input, {0}, sizes, dep::ModelFacts{{dep::ModuleFacts{}}, {}}),
               c10::ValueError);  // facts for some modules only
}

TEST(Policy, UntracedLayersReadingOrProducingAChangedWidthRefuse) {
  auto g = analyse(kConvGroupNormConv);
  const auto sizes = sizes_of(*g);
  dep::ModelFacts facts;
  facts.untraced = {{"aux.conv", "Conv2d", 5, 7}};
  EXPECT_TRUE(refusals(g->plan(index_of(*g, "a"), dep::Side::Output, {0, 4}, sizes, facts)).empty());
  facts.untraced.push_back({"aux.head", "Conv2d", 8, 3});
  auto reasons = refusals(g->plan(index_of(*g, "a"), dep::Side::Output, {0, 4}, sizes, facts));
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_TRUE(starts_with(reasons[0], "module 'aux.head' (Conv2d reading 8 channels) runs in no trace"));
  // A branch that would produce the stream in place of a traced layer.
  facts.untraced = {{"down", "Conv2d", 3, 8}};
  reasons = refusals(g->plan(index_of(*g, "a"), dep::Side::Output, {0, 4}, sizes, facts));
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_TRUE(starts_with(reasons[0], "module 'down' (Conv2d producing 8 channels) runs in no trace, so it may "
                                      "produce channels"));
}

TEST(Policy, ModulesOfUnknownSizeRefuse) {
  auto g = analyse(kConvGroupNormConv);
  auto sizes = sizes_of(*g);
  sizes[index_of(*g, "b")] = {-1, -1, 1};  // runs conv2d on parameters of its own
  dep::ModelFacts facts;
  facts.modules.resize(g->modules().size());
  facts.modules[index_of(*g, "b")].type_name = "StandardisedConv";
  auto reasons = refusals(g->plan(index_of(*g, "a"), dep::Side::Output, {0, 4}, sizes, facts));
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_EQ(reasons[0], "module 'b' (StandardisedConv) runs a convolution on its own parameters instead of "
                        "being that torch.nn layer; pruning cannot change it");
}

TEST(LayerKinds, OneRowPerKindNamesEveryFunctionAndSize) {
  for (const auto& row : dep::layer_kinds()) {
    EXPECT_EQ(&dep::layer_kind(row.kind), &row);
    EXPECT_TRUE(row.prune_output || row.prune_both) << row.name;
    EXPECT_EQ(row.module == nullptr, row.out_size == nullptr) << row.name;
  }
  EXPECT_STREQ(dep::action_name(Action::PruneRelatedConv), "prune_related_conv");
  EXPECT_STREQ(dep::action_name(Action::PruneGroupnorm), "prune_groupnorm");
  // A grouped convolution asked for both sides prunes its outputs; a depthwise one ties them.
  EXPECT_EQ(dep::step_side(dep::ModuleKind::Conv, {8, 8, 2}, dep::Side::Both), dep::Side::Output);
  EXPECT_EQ(dep::step_side(dep::ModuleKind::Conv, {8, 8, 8}, dep::Side::Input), dep::Side::Both);
  const auto loss = dep::group_loss(12, 3, {0, 4, 5, 8, 9, 10, 11}, /*whole_groups_may_go=*/true);
  EXPECT_FALSE(loss.equal);
  EXPECT_EQ(loss.emptied, 1);
  EXPECT_EQ(loss.most_group, 1);
  EXPECT_EQ(loss.least_group, 0);
  EXPECT_TRUE(dep::group_loss(12, 3, {0, 4, 8, 9, 10, 11}, true).equal);
  EXPECT_FALSE(dep::group_loss(12, 3, {0, 4, 8, 9, 10, 11}, false).equal);
}

// Control flow (a scripted function inlined into the trace) hides what its
// branches do with the channels; a parameter cast for autocast stays its
// module's own.
TEST(Policy, ControlFlowRefusesAndAutocastCastsAreSeenThrough) {
  const std::string head = R"IR(
graph(%self : int, %x : Float(1, 3, 4, 4)):
  %none : NoneType = prim::Constant()
  %one : int = prim::Constant[value=1]()
  %yes : bool = prim::Constant[value=1]()
  %no : bool = prim::Constant[value=0]()
  %bf16 : int = prim::Constant[value=15]()
  %ones : int[] = prim::Constant[value=[1, 1]]()
  %zeros : int[] = prim::Constant[value=[0, 0]]()
  %a_m : int = prim::GetAttr[name="a"](%self)
  %a_w : Tensor = prim::GetAttr[name="weight"](%a_m)
  %b_m : int = prim::GetAttr[name="b"](%self)
  %b_w : Tensor = prim::GetAttr[name="weight"](%b_m)
)IR";
  auto branchy = [&] {
    auto graph = std::make_shared<torch::jit::Graph>();
    torch::jit::parseIR(head + R"IR(  %ya : Float(1, 8, 4, 4) = aten::conv2d(%x, %a_w, %none, %ones, %zeros, %ones, %one)
  %r : Float(1, 8, 4, 4) = prim::If(%yes)
    block0():
      %z : Float(1, 8, 4, 4) = aten::neg(%ya)
      -> (%z)
    block1():
      -> (%ya)
  %yb : Float(1, 4, 4, 4) = aten::conv2d(%r, %b_w, %none, %ones, %zeros, %ones, %one)
  return (%yb)
)IR", graph.get());
    return std::make_unique<dep::ChannelGraph>(*graph);
  }();
  std::vector<dep::ModuleSizes> sizes(2);
  sizes[index_of(*branchy, "a")] = {3, 8, 1};
  sizes[index_of(*branchy, "b")] = {8, 4, 1};
  auto reasons = refusals(branchy->plan(index_of(*branchy, "a"), dep::Side::Output, {0}, sizes));
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_NE(reasons[0].find("prim::If (control flow"), std::string::npos) << reasons[0];

  auto cast = [&] {
    auto graph = std::make_shared<torch::jit::Graph>();
    torch::jit::parseIR(head + R"IR(  %a_h : Tensor = aten::to(%a_w, %bf16, %no, %no, %none)
  %x_h : BFloat16(1, 3, 4, 4) = aten::to(%x, %bf16, %no, %no, %none)
  %ya : BFloat16(1, 8, 4, 4) = aten::conv2d(%x_h, %a_h, %none, %ones, %zeros, %ones, %one)
  %yf : Float(1, 8, 4, 4) = aten::to(%ya, %one, %no, %no, %none)
  %yb : Float(1, 4, 4, 4) = aten::conv2d(%yf, %b_w, %none, %ones, %zeros, %ones, %one)
  return (%yb)
)IR", graph.get());
    return std::make_unique<dep::ChannelGraph>(*graph);
  }();
  ASSERT_EQ(cast->modules().size(), 2u);
  sizes[index_of(*cast, "a")] = {3, 8, 1};
  sizes[index_of(*cast, "b")] = {8, 4, 1};
  auto steps = cast->plan(index_of(*cast, "a"), dep::Side::Output, {0, 5}, sizes);
  EXPECT_TRUE(refusals(steps).empty());
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[1].action, Action::PruneRelatedConv);
  EXPECT_EQ(steps[1].idxs, (std::vector<int64_t>{0, 5}));
}

// The same model traced in training mode, where an auxiliary head reads the
// group norm's output and its result is returned too.
static std::string with_aux_head(std::string ir) {
  const std::string end = "  return (%yb)\n";
  ir.replace(ir.find(end), end.size(),
             "  %aux_m : int = prim::GetAttr[name=\"aux\"](%self)\n"
             "  %aux_w : Tensor = prim::GetAttr[name=\"weight\"](%aux_m)\n"
             "  %yx : Float(1, 2, 4, 4) = aten::conv2d(%yg, %aux_w, %none, %ones, %zeros, %ones, %one)\n"
             "  return (%yb, %yx)\n");
  return ir;
}

TEST(Policy, TracesInBothModesShareTheirModules) {
  auto eval_graph = std::make_shared<torch::jit::Graph>();
  auto train_graph = std::make_shared<torch::jit::Graph>();
  torch::jit::parseIR(kConvGroupNormConv, eval_graph.get());
  torch::jit::parseIR(with_aux_head(kConvGroupNormConv), train_graph.get());
  const dep::ChannelGraph eval_only(*eval_graph);
  EXPECT_EQ(eval_only.modules_that_ran(), (std::vector<std::string>{"a", "gn", "b"}));
  const dep::ChannelGraph both({eval_graph.get(), train_graph.get()}, {});
  EXPECT_EQ(both.modules_that_ran(), (std::vector<std::string>{"a", "gn", "b", "aux"}));
  ASSERT_EQ(both.modules().size(), 4u);  // a, gn and b once, though both traces call them
  auto sizes = sizes_of(both);
  sizes[index_of(both, "aux")] = {8, 2, 1};
  const auto steps = both.plan(index_of(both, "a"), dep::Side::Output, {0, 4}, sizes);
  EXPECT_TRUE(refusals(steps).empty());
  bool aux_loses_inputs = false;
  for (const auto& s : steps)
    aux_loses_inputs |= s.module == index_of(both, "aux") && s.action == Action::PruneRelatedConv &&
                        s.idxs == std::vector<int64_t>{0, 4};
  EXPECT_TRUE(aux_loses_inputs);
  // Its output is returned in training: it keeps every output channel.
  EXPECT_FALSE(refusals(both.plan(index_of(both, "aux"), dep::Side::Output, {0}, sizes)).empty());
}
