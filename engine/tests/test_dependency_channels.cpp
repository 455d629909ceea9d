// Slices, padding and pixel shuffles of the channels, whose numbers the
// model's code fixes, read against narrower widths than the trace's.
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
                     "  %none : NoneType = prim::Constant()\n"
                     "  %zero : int = prim::Constant[value=0]()\n"
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

TEST(ChannelSlices, BoundsCountedFromTheEndFollowTheNarrowerWidth) {
  // a[:, -4:]: the last four channels, whatever the width.
  auto g = between_convs("  %y : Float(1, 4, 4, 4) = aten::slice(%a, %one, %minus4, %max, %one)\n",
                         "Float(1, 2, 4, 4)");
  EXPECT_EQ(outcome(*g, 8, 4, {1}), "a=1");
  // Removing one of them would pull channel 3 in.
  EXPECT_NE(outcome(*g, 8, 4, {5}).find("would select other channels"), std::string::npos);
  // Six channels left: the slice now starts at 2.
  EXPECT_EQ(outcome(*g, 6, 4, {0, 1}), "a=0,1");
  EXPECT_NE(outcome(*g, 6, 4, {2}).find("selects channels [2:6] of 6"), std::string::npos);
  // From the slice's side: its channel 0 is a's channel 4 at eight channels.
  EXPECT_NE(outcome(*g, 8, 4, {0}, true).find("refused"), std::string::npos);
}

TEST(ChannelSlices, NarrowChecksItsBoundsAndStepsKeepTheirStride) {
  auto narrow = between_convs("  %y : Float(1, 4, 4, 4) = aten::narrow(%a, %one, %two, %four)\n",
                              "Float(1, 2, 4, 4)");
  EXPECT_EQ(outcome(*narrow, 8, 4, {6, 7}), "a=6,7");
  EXPECT_NE(outcome(*narrow, 8, 4, {0}).find("refused"), std::string::npos);
  // Five channels no longer hold channels 2..5.
  EXPECT_NE(outcome(*narrow, 5, 4, {4}).find("refused"), std::string::npos);
  auto strided = between_convs("  %y : Float(1, 4, 4, 4) = aten::slice(%a, %one, %zero, %max, %two)\n",
                               "Float(1, 2, 4, 4)");
  EXPECT_EQ(outcome(*strided, 8, 4, {2, 3}), "a=2,3 b=1");
  EXPECT_NE(outcome(*strided, 8, 4, {2}).find("refused"), std::string::npos);
}

TEST(ChannelPadding, InputChannelsShiftPastThePaddingWhichKeepsItsWidth) {
  auto g = between_convs("  %p : int[] = prim::ListConstruct(%zero, %zero, %zero, %zero, %one, %two)\n"
                         "  %y : Float(1, 11, 4, 4) = aten::constant_pad_nd(%a, %p, %zero)\n",
                         "Float(1, 2, 4, 4)");
  EXPECT_EQ(outcome(*g, 8, 11, {0}), "a=0 b=1");
  EXPECT_EQ(outcome(*g, 6, 9, {5}), "a=5 b=6");
  for (int64_t padded : {0, 9}) {
    const std::string refused = outcome(*g, 8, 11, {padded}, true);
    EXPECT_NE(refused.find("the padding of operation aten::constant_pad_nd"), std::string::npos) << refused;
  }
}

TEST(PixelShuffle, WholeBlocksFollowTheNarrowerWidth) {
  auto g = between_convs("  %y : Float(1, 2, 8, 8) = aten::pixel_shuffle(%a, %two)\n", "Float(1, 2, 8, 8)");
  EXPECT_EQ(outcome(*g, 8, 2, {5}), "a=4,5,6,7 b=1");
  // Twelve channels are three output channels; the third is a's last block.
  EXPECT_EQ(outcome(*g, 12, 3, {2}, true), "b=2 a=8,9,10,11");
}
