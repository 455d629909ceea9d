// Channel graphs of a few lines of TorchScript IR, for the dependency tests.
// Calls are written with every argument of their schema, as a trace records
// them: the graph refuses nodes that match no overload.
#pragma once

#include <gtest/gtest.h>

#include <torch/csrc/jit/ir/irparser.h>

#include <memory>
#include <string>

#include "orrery_engine/dependency.h"

namespace dependency_ir {

namespace dep = orrery::dependency;

// The graph of `graph(%self : int, %x : <input>): <body>`.
inline std::unique_ptr<dep::ChannelGraph> analyse(const std::string& body, const std::string& input) {
  auto graph = std::make_shared<torch::jit::Graph>();
  torch::jit::parseIR("graph(%self : int, %x : " + input + "):\n" + body, graph.get());
  return std::make_unique<dep::ChannelGraph>(*graph);
}

// IR of `out = op(in, self.<name>.weight, ...)` with the output type given;
// `op` is aten::_convolution, aten::linear or aten::prelu.
inline std::string module_call(const std::string& out, const std::string& in, const std::string& name,
                               const std::string& type, const std::string& op = "aten::_convolution") {
  const std::string o = "%" + out;
  std::string ir = "  " + o + "_m : int = prim::GetAttr[name=\"" + name + "\"](%self)\n" + "  " + o +
                   "_w : Tensor = prim::GetAttr[name=\"weight\"](" + o + "_m)\n";
  std::string args = "%" + in + ", " + o + "_w";
  if (op == "aten::_convolution") {
    ir += "  " + o + "_b : NoneType = prim::Constant()\n  " + o + "_1 : int = prim::Constant[value=1]()\n  " + o +
          "_0 : int = prim::Constant[value=0]()\n  " + o + "_no : bool = prim::Constant[value=0]()\n  " + o +
          "_ones : int[] = prim::ListConstruct(" + o + "_1, " + o + "_1)\n  " + o +
          "_zeros : int[] = prim::ListConstruct(" + o + "_0, " + o + "_0)\n";
    args += ", " + o + "_b, " + o + "_ones, " + o + "_zeros, " + o + "_ones, " + o + "_no, " + o + "_zeros, " +
            o + "_1, " + o + "_no, " + o + "_no, " + o + "_no, " + o + "_no";
  } else if (op == "aten::linear") {
    ir += "  " + o + "_b : NoneType = prim::Constant()\n";
    args += ", " + o + "_b";
  } else if (op != "aten::prelu") {
    ADD_FAILURE() << "module_call writes no " << op;
  }
  return ir + "  " + o + " : " + type + " = " + op + "(" + args + ")\n";
}

inline int64_t module_index(const dep::ChannelGraph& g, const std::string& path) {
  for (size_t i = 0; i < g.modules().size(); ++i)
    if (g.modules()[i].path == path) return static_cast<int64_t>(i);
  ADD_FAILURE() << "no module " << path;
  return -1;
}

inline dep::ModuleSizes conv_sizes(int64_t in, int64_t out, int64_t groups = 1) { return {in, out, groups}; }

}  // namespace dependency_ir
