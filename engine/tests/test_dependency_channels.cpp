// Channel slices, whose bounds the model's code fixes, read against narrower
// widths than the trace's.
#include <gtest/gtest.h>

#include <string>
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

// conv `a` (3 -> 8) -> `snippet` (reads %a, writes %y) -> conv `b` (2 outputs).
std::unique_ptr<dep::ChannelGraph> between_convs(const std::string& snippet, const std::string& y_type) {
  return analyse(module_call("a", "x", "a", "Float(1, 8, 4, 4)") +
                     "  %one : int = prim::Constant[value=1]()\n"
                     "  %two : int = prim::Constant[value=2]()\n"
                     "  %four : int = prim::Constant[value=4]()\n"
                     "  %minus4 : int = prim::Constant[value=-4]()\n"
                     "  %max : int = prim::Constant[value=9223372036854775807]()\n" +
                     snippet + module_call("b", "y", "b", y_type) + "  return (%b)\n",
                 "Float(1, 3, 4, 4)");
}

// What a plan removing `idxs` of `a` (or, with `from_b`, inputs of `b`) does
// at the widths given: "refused: <reasons>" or "a=<idxs> b=<idxs>".
std::string outcome(const dep::ChannelGraph& g, int64_t a_out, int64_t b_in, const std::vector<int64_t>& idxs,
                    bool from_b = false) {
  const std::vector<dep::ModuleSizes> sizes = {conv_sizes(3, a_out), conv_sizes(b_in, 2)};
  const auto steps = from_b ? g.plan(module_index(g, "b"), dep::Role::Input, idxs, sizes)
                            : g.plan(module_index(g, "a"), dep::Role::Output, idxs, sizes);
  std::string refused, kept;
  for (const auto& s : steps) {
    if (s.action == Action::Refuse) refused += s.reason + "; ";
    if (!s.action.is_prune()) continue;
    kept += std::string(kept.empty() ? "" : " ") + g.modules()[s.module].path + "=";
    for (size_t i = 0; i < s.idxs.size(); ++i) kept += (i ? "," : "") + std::to_string(s.idxs[i]);
  }
  return refused.empty() ? kept : "refused: " + refused;
}

}  // namespace

TEST(ChannelSlices, BoundsAreReadAgainstTheNarrowerWidth) {
  // a[:, -4:]: the last four channels, whatever the width.
  auto g = between_convs("  %y : Float(1, 4, 4, 4) = aten::slice(%a, %one, %minus4, %max, %one)\n",
                         "Float(1, 2, 4, 4)");
  EXPECT_EQ(outcome(*g, 8, 4, {1}), "a=1");
  // Removing one of them would pull channel 3 in; at six channels they start at 2.
  EXPECT_NE(outcome(*g, 8, 4, {5}).find("would select other channels"), std::string::npos);
  EXPECT_EQ(outcome(*g, 6, 4, {0, 1}), "a=0,1");
  EXPECT_NE(outcome(*g, 6, 4, {2}).find("selects channels [2:6] of 6"), std::string::npos);
  // narrow(1, 2, 4) does not clamp: five channels no longer hold channels 2..5.
  auto narrow = between_convs("  %y : Float(1, 4, 4, 4) = aten::narrow(%a, %one, %two, %four)\n",
                              "Float(1, 2, 4, 4)");
  EXPECT_EQ(outcome(*narrow, 8, 4, {6, 7}), "a=6,7");
  EXPECT_NE(outcome(*narrow, 5, 4, {4}).find("do not fit its input of 5 channels"), std::string::npos);
  EXPECT_NE(outcome(*narrow, 8, 4, {0}, true).find("refused"), std::string::npos);
}
