// The operator table reads only the overloads it describes, and the shuffle
// pass finds channel shuffles before the walk.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dependency_ir.h"
#include "orrery_engine/dependency.h"

namespace dep = orrery::dependency;
using dep::Action;
using dependency_ir::analyse;
using dependency_ir::conv_sizes;
using dependency_ir::module_call;
using dependency_ir::module_index;

namespace {

// Constants the snippets below share.
const char* const kConstants =
    "  %none : NoneType = prim::Constant()\n"
    "  %no : bool = prim::Constant[value=0]()\n"
    "  %yes : bool = prim::Constant[value=1]()\n"
    "  %neg : int = prim::Constant[value=-1]()\n"
    "  %zero : int = prim::Constant[value=0]()\n"
    "  %one : int = prim::Constant[value=1]()\n"
    "  %two : int = prim::Constant[value=2]()\n"
    "  %three : int = prim::Constant[value=3]()\n"
    "  %four : int = prim::Constant[value=4]()\n";

// conv `a` (3 -> 8 channels on 4x4) feeding `snippet`, which reads %a.
std::string after_conv(const std::string& snippet) {
  return module_call("a", "x", "a", "Float(1, 8, 4, 4)") + kConstants + snippet;
}

// A plan removing channels of `a`, with `b` (if any) a convolution of 2 outputs.
std::vector<dep::Step> plan_a(const dep::ChannelGraph& g, const std::vector<int64_t>& idxs, int64_t b_in = 8) {
  std::vector<dep::ModuleSizes> sizes(g.modules().size(), conv_sizes(3, 8));
  for (size_t i = 0; i < sizes.size(); ++i)
    if (g.modules()[i].path == "b") sizes[i] = conv_sizes(b_in, 2);
  return g.plan(module_index(g, "a"), dep::Role::Output, idxs, sizes);
}

std::string refusals(const std::vector<dep::Step>& steps) {
  std::string out;
  for (const auto& s : steps)
    if (s.action == Action::Refuse) out += s.reason + "\n";
  return out;
}

struct Case {
  const char* name;
  std::string ir;  // after conv `a`; returns its result
  std::string expected;
};

}  // namespace

TEST(OperatorTable, OverloadsOutsideTheTableAreRefusedByName) {
  const std::vector<Case> cases = {
      {"view.dtype",
       "  %dt : int = prim::Constant[value=5]()\n"
       "  %y : Half(1, 8, 4, 4) = aten::view(%a, %dt)\n  return (%y)\n",
       "operation aten::view.dtype is an overload the dependency graph does not read: its argument 1 is "
       "'dtype: ScalarType', where the graph reads (self: Tensor, size: int[])"},
      {"mean without dims",
       "  %y : Float() = aten::mean(%a, %none)\n  return (%y)\n",
       "operation aten::mean is an overload the dependency graph does not read: its argument 1 is 'dtype"},
      {"transpose.Dimname",
       "  %c : str = prim::Constant[value=\"C\"]()\n  %h : str = prim::Constant[value=\"H\"]()\n"
       "  %y : Float(1, 4, 8, 4) = aten::transpose(%a, %c, %h)\n  return (%y)\n",
       "operation aten::transpose.Dimname is an overload"},
      {"flatten.named_out_dim",
       "  %n : str = prim::Constant[value=\"F\"]()\n"
       "  %y : Float(1, 128) = aten::flatten(%a, %one, %neg, %n)\n  return (%y)\n",
       "operation aten::flatten.named_out_dim is an overload the dependency graph does not read: it takes 4 "
       "arguments, where the graph reads (self: Tensor, start_dim: int, end_dim: int)"},
      {"cat.names",
       "  %n : str = prim::Constant[value=\"C\"]()\n  %l : Tensor[] = prim::ListConstruct(%a, %a)\n"
       "  %y : Float(1, 16, 4, 4) = aten::cat(%l, %n)\n  return (%y)\n",
       "operation aten::cat.names is an overload"},
      {"softmax.Dimname",
       "  %n : str = prim::Constant[value=\"C\"]()\n"
       "  %y : Float(1, 8, 4, 4) = aten::softmax(%a, %n, %none)\n  return (%y)\n",
       "operation aten::softmax.Dimname is an overload"},
      {"mean.out writes into a tensor",
       "  %d : int[] = prim::ListConstruct(%two, %three)\n"
       "  %o : Float(1, 8) = aten::mean(%a, %d, %no, %none, %x)\n  return (%o)\n",
       "operation aten::mean.out is an overload the dependency graph does not read: its argument 'out' is a "
       "tensor"},
      {"pow of a number",
       "  %e : float = prim::Constant[value=2.5]()\n"
       "  %y : Float(1, 8, 4, 4) = aten::pow(%e, %a)\n  return (%y)\n",
       "operation aten::pow.Scalar is an overload the dependency graph does not read: its argument 0"},
      {"where returning indices",
       "  %y : Tensor[] = aten::where(%a)\n  return (%y)\n",
       "operation aten::where is an overload the dependency graph does not read: it returns 'Tensor[]', not a "
       "tensor"},
      {"call missing arguments",
       "  %w : Tensor = prim::GetAttr[name=\"weight\"](%a_m)\n"
       "  %y : Float(1, 8, 4, 4) = aten::_convolution(%a, %w)\n  return (%y)\n",
       "operation aten::_convolution with arguments (Tensor, Tensor) matches none of its overloads"},
      // Not overloads, but reductions the table's arguments let the handler see through.
      {"amax over its default dims",
       "  %d : int[] = prim::ListConstruct()\n"
       "  %y : Float() = aten::amax(%a, %d, %no)\n  return (%y)\n",
       "operation aten::amax reduces over every dimension"},
      {"mean.dim without dims",
       "  %y : Float() = aten::mean(%a, %none, %no, %none)\n  return (%y)\n",
       "operation aten::mean reduces dimensions that cannot be determined"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto g = analyse(after_conv(c.ir), "Float(1, 3, 4, 4)");
    const auto steps = plan_a(*g, {0});
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.front().action, Action::Refuse);
    EXPECT_NE(refusals(steps).find(c.expected), std::string::npos) << refusals(steps);
  }
}

TEST(OperatorTable, UsualOverloadsStillPlan) {
  const std::string b = module_call("b", "y", "b", "Float(1, 2, 4, 4)") + "  return (%b)\n";
  const std::vector<Case> cases = {
      {"view and reshape",
       "  %s : int[] = prim::ListConstruct(%one, %neg, %four, %four)\n"
       "  %sixteen : int = prim::Constant[value=16]()\n"
       "  %f : int[] = prim::ListConstruct(%one, %neg, %sixteen)\n"
       "  %v : Float(1, 8, 16) = aten::view(%a, %f)\n  %y : Float(1, 8, 4, 4) = aten::reshape(%v, %s)\n" + b,
       "1"},
      {"transpose.int and swapaxes",
       "  %t : Float(1, 4, 4, 8) = aten::transpose(%a, %one, %three)\n"
       "  %y : Float(1, 8, 4, 4) = aten::swapaxes(%t, %neg, %one)\n" + b,
       "1"},
      {"mean.dim keeping dims",
       "  %d : int[] = prim::ListConstruct(%two, %three)\n"
       "  %m : Float(1, 8, 1, 1) = aten::mean(%a, %d, %yes, %none)\n"
       "  %y : Float(1, 8, 4, 4) = aten::mul(%a, %m)\n" + b,
       "1"},
      {"softmax.int over space",
       "  %y : Float(1, 8, 4, 4) = aten::softmax(%a, %three, %none)\n" + b, "1"},
      {"pow of a tensor",
       "  %y : Float(1, 8, 4, 4) = aten::pow(%a, %two)\n" + b, "1"},
      {"split.Tensor over space",
       "  %l : Tensor[] = aten::split(%a, %two, %two)\n"
       "  %y : Float(1, 8, 2, 4), %q : Float(1, 8, 2, 4) = prim::ListUnpack(%l)\n" +
           module_call("b", "y", "b", "Float(1, 2, 2, 4)") + "  return (%b)\n",
       "1"},
      {"concat",
       "  %l : Tensor[] = prim::ListConstruct(%a, %a)\n"
       "  %y : Float(1, 16, 4, 4) = aten::concat(%l, %one)\n" + b,
       "1 9"},
      {"conv2d",
       "  %y : Float(1, 8, 4, 4) = aten::relu(%a)\n  %bm : int = prim::GetAttr[name=\"b\"](%self)\n"
       "  %bw : Tensor = prim::GetAttr[name=\"weight\"](%bm)\n  %p : int[] = prim::ListConstruct(%one, %one)\n"
       "  %z : int[] = prim::ListConstruct(%zero, %zero)\n"
       "  %b : Float(1, 2, 4, 4) = aten::conv2d(%y, %bw, %none, %p, %z, %p, %one)\n  return (%b)\n",
       "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto g = analyse(after_conv(c.ir), "Float(1, 3, 4, 4)");
    const auto steps = plan_a(*g, {1}, c.expected == "1" ? 8 : 16);
    EXPECT_EQ(refusals(steps), "");
    std::string b_idxs;
    for (const auto& s : steps) {
      if (s.action != Action::PruneRelatedConv || s.module != module_index(*g, "b")) continue;
      for (int64_t i : s.idxs) b_idxs += (b_idxs.empty() ? "" : " ") + std::to_string(i);
    }
    EXPECT_EQ(b_idxs, c.expected);
  }
}

namespace {

// conv `a` -> view(1, <major>, <minor>, 4, 4) -> transpose(1, 2) ->
// contiguous -> view(1, -1, 4, 4) -> conv `b`. %c is the width at run time.
std::string shuffle(const std::string& major, const std::string& minor) {
  return after_conv(
             "  %c : int = aten::size(%a, %one)\n  %half : int = aten::floordiv(%c, %two)\n"
             "  %quarter : int = aten::floordiv(%c, %four)\n"
             "  %g : int[] = prim::ListConstruct(%one, " + major + ", " + minor + ", %four, %four)\n"
             "  %v : Float(1, 2, 4, 4, 4) = aten::view(%a, %g)\n"
             "  %t : Float(1, 4, 2, 4, 4) = aten::transpose(%v, %one, %two)\n"
             "  %k : Float(1, 4, 2, 4, 4) = aten::contiguous(%t, %zero)\n"
             "  %s : int[] = prim::ListConstruct(%one, %neg, %four, %four)\n"
             "  %y : Float(1, 8, 4, 4) = aten::view(%k, %s)\n") +
         module_call("b", "y", "b", "Float(1, 2, 4, 4)") + "  return (%b)\n";
}

}  // namespace

TEST(ShufflePass, ChannelShufflesInterleaveOrRefuseWhenTheGroupsCannotFollow) {
  // Two groups fixed in the code, as ShuffleNet writes it: channel 1 (column 1
  // of the first group) takes channel 5 with it, and they land at 2 and 3.
  auto g = analyse(shuffle("%two", "%half"), "Float(1, 3, 4, 4)");
  auto steps = plan_a(*g, {1});
  ASSERT_EQ(refusals(steps), "");
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].idxs, (std::vector<int64_t>{1, 5}));
  EXPECT_EQ(steps[1].action, Action::PruneRelatedConv);
  EXPECT_EQ(steps[1].idxs, (std::vector<int64_t>{2, 3}));

  // Group sizes both fixed, or both taken from the width: no narrower shuffle follows.
  for (const auto& [major, minor, reason] :
       {std::make_tuple("%two", "%four", "group sizes are fixed in the model's code"),
        std::make_tuple("%quarter", "%half", "group sizes the model's code does not fix")}) {
    SCOPED_TRACE(major);
    auto fixed = analyse(shuffle(major, minor), "Float(1, 3, 4, 4)");
    const auto refused = plan_a(*fixed, {1});
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused.front().action, Action::Refuse);
    EXPECT_NE(refusals(refused).find(std::string("operation aten::view starts a channel shuffle whose ") + reason),
              std::string::npos)
        << refusals(refused);
  }
}

TEST(ShufflePass, AShuffleOfAnotherDimensionIsReadNodeByNode) {
  // Rows interleaved in pairs: the channels stay where they are.
  auto g = analyse(after_conv("  %g : int[] = prim::ListConstruct(%one, %neg, %two, %two, %four)\n"
                              "  %v : Float(1, 8, 2, 2, 4) = aten::view(%a, %g)\n"
                              "  %t : Float(1, 8, 2, 2, 4) = aten::transpose(%v, %two, %three)\n"
                              "  %s : int[] = prim::ListConstruct(%one, %neg, %four, %four)\n"
                              "  %y : Float(1, 8, 4, 4) = aten::reshape(%t, %s)\n") +
                       module_call("b", "y", "b", "Float(1, 2, 4, 4)") + "  return (%b)\n",
                   "Float(1, 3, 4, 4)");
  const auto steps = plan_a(*g, {1});
  EXPECT_EQ(refusals(steps), "");
  EXPECT_EQ(steps.back().action, Action::PruneRelatedConv);
  EXPECT_EQ(steps.back().idxs, std::vector<int64_t>{1});
}
