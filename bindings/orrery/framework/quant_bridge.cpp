// orrery.framework.quant_bridge: the LSQ quantizer and quantized convolutions.
//
// The quantizer's arithmetic lives in the engine (the fused, dispatcher-registered
// orrery::lsq_quantize and the ATen helpers grad_scale, round_pass, twos_comp);
// this module gives it the Python classes the framework works with.
#include <torch/csrc/jit/frontend/tracer.h>
#include <torch/extension.h>

#include "class_builder.h"
#include "python_checks.h"
#include "orrery_engine/lsq.h"

namespace py = pybind11;
using orrery::bind::ClassBuilder;
using orrery::bind::ClassRef;
using orrery::bind::python_assert;
using orrery::bind::raise_assertion_error;
using orrery::bind::type_name;
namespace engine = orrery::engine;

namespace {

// Python number arithmetic, so that bounds and factors are exactly what the
// interpreter computes (ints of any size, int ** negative, division by zero).
py::object checked(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}
py::object num_mul(py::handle a, py::handle b) { return checked(PyNumber_Multiply(a.ptr(), b.ptr())); }
py::object num_sub(py::handle a, py::handle b) { return checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
py::object num_add(py::handle a, py::handle b) { return checked(PyNumber_Add(a.ptr(), b.ptr())); }
py::object num_div(py::handle a, py::handle b) { return checked(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
py::object num_neg(py::handle a) { return checked(PyNumber_Negative(a.ptr())); }
py::object num_pow(py::handle a, py::handle b) {
  return checked(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
}

[[noreturn]] void raise_bare(PyObject* type) {
  PyErr_SetNone(type);
  throw py::error_already_set();
}


at::Tensor as_tensor(const py::handle& value, const char* what) {
  if (!THPVariable_Check(value.ptr())) {
    throw py::type_error(std::string(what) + " must be a torch.Tensor, got " + type_name(value));
  }
  return THPVariable_Unpack(value.ptr());
}

// 1.0 / ((thd_pos * numel) ** 0.5): the factor applied to the step size's gradient.
double step_grad_factor(const py::object& thd_pos, int64_t numel) {
  // The factor only scales gradients; an empty input has none to scale.
  if (numel == 0) return 1.0;
  py::object denominator = num_pow(num_mul(thd_pos, py::int_(numel)), py::float_(0.5));
  return num_div(py::float_(1.0), denominator).cast<double>();
}

// round_pass(clamp(x / s_scale, thd_neg, thd_pos)): integer codes of x.
at::Tensor integer_codes(const at::Tensor& x, const at::Tensor& s_scale, const py::object& quantizer) {
  const double thd_neg = quantizer.attr("thd_neg").cast<double>();
  const double thd_pos = quantizer.attr("thd_pos").cast<double>();
  return engine::round_pass(at::clamp(x / s_scale, thd_neg, thd_pos));
}

// Whether torch.onnx is tracing the model now. Its graph needs only forward
// values: the straight-through forms (grad_scale, round_pass), made for
// gradients, would cost nodes there and give nothing.
bool in_onnx_export(const py::module_& m) {
  return py::bool_(m.attr("torch").attr("onnx").attr("is_in_onnx_export")());
}

// The value `compute` gives, computed outside the trace being recorded and
// without gradients: wherever it is used, the trace holds it as one constant
// instead of the operations that made it.
template <typename F>
at::Tensor as_trace_constant(F&& compute) {
  struct Resume {
    std::shared_ptr<torch::jit::tracer::TracingState> state = torch::jit::tracer::getTracingState();
    ~Resume() { torch::jit::tracer::setTracingState(std::move(state)); }
  } resume;
  torch::jit::tracer::setTracingState(nullptr);
  torch::NoGradGuard no_grad;
  return compute().detach();
}

// Weight codes as signed integers: the export form stores bipolar weights
// narrower than a byte as unsigned two's-complement codes, which the
// convolution must read back as the negative codes they stand for.
at::Tensor signed_weight_codes(const py::object& self) {
  const at::Tensor stored = as_tensor(self.attr("weight"), "weight");
  py::object wbits = self.attr("wbits");
  if (!py::str("bipolar").equal(self.attr("polarity")) || wbits.equal(py::int_(8))) return stored;
  const int64_t bits = wbits.cast<int64_t>();
  const double half = static_cast<double>(int64_t{1} << (bits - 1));
  return at::where(stored >= half, stored - 2 * half, stored);
}

// A step size the export can divide by: positive and finite everywhere.
bool usable_step(const at::Tensor& step) {
  const at::Tensor s = step.detach();
  return s.numel() > 0 && (s.isfinite() & s.gt(0)).all().item<bool>();
}

double real_argument(const py::object& value, const char* fn, const char* name) {
  if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr())) {
    throw py::type_error(std::string(fn) + "(): " + name + " must be a real number, got " +
                         type_name(value));
  }
  return value.cast<double>();
}

void define_functions(py::module_& m) {
  orrery::bind::def_function(
      m, "grad_scale",
      [](py::object x, py::object scale) {
        return engine::grad_scale(as_tensor(x, "grad_scale(): x"),
                                  real_argument(scale, "grad_scale", "scale"));
      },
      py::arg("x"), py::arg("scale"),
      "Returns the tensor `x` unchanged in value; the gradient with respect to x is "
      "multiplied by the real number `scale`. Raises TypeError when `x` is not a tensor or "
      "`scale` not a real number.");
  orrery::bind::def_function(
      m, "round_pass",
      [](py::object x) { return engine::round_pass(as_tensor(x, "round_pass(): x")); },
      py::arg("x"),
      "Returns the tensor `x` rounded to the nearest integer (halves to even); the gradient is "
      "the identity's (straight-through). Raises TypeError when `x` is not a tensor.");
  orrery::bind::def_function(
      m, "twos_comp",
      [](py::object vals_obj, py::object nbits) {
        at::Tensor vals = as_tensor(vals_obj, "twos_comp(): vals");
        if (!PyLong_Check(nbits.ptr()) || PyBool_Check(nbits.ptr())) {
          throw py::type_error("twos_comp(): nbits must be an int, got " + type_name(nbits));
        }
        int overflow = 0;
        const long long width = PyLong_AsLongLongAndOverflow(nbits.ptr(), &overflow);
        try {
          engine::twos_comp(vals, overflow ? -1 : width);
        } catch (const c10::ValueError& e) {
          throw py::value_error(e.what_without_backtrace());
        }
        return vals_obj;  // the tensor passed in, changed in place
      },
      py::arg("vals"), py::arg("nbits"),
      "Replaces, in place, the negative integer values of the tensor `vals` by their unsigned "
      "`nbits`-bit two's-complement codes (-3 with 4 bits becomes 13) and returns `vals`. "
      "Raises TypeError when `nbits` is not an int and ValueError for a width the tensor's dtype "
      "cannot hold exactly.");
}

// Bit widths: plain ints, at least 2 for a signed range (1 for an unsigned one),
// and at most what integer codes in float32 hold exactly (see twos_comp).
// The bit width as a Python int (NumPy integers and other exact integers
// accepted), or a ValueError naming the argument and the range.
py::int_ check_bit_width(const py::object& bits, const char* name, bool is_signed) {
  const int64_t most = engine::twos_comp_max_bits(at::kFloat);
  const int64_t least = is_signed ? 2 : 1;
  PyObject* index = PyBool_Check(bits.ptr()) || PyFloat_Check(bits.ptr()) ? nullptr
                                                                          : PyNumber_Index(bits.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::value_error(std::string(name) + " must be an int between " + std::to_string(least) +
                          " and " + std::to_string(most) + ", got " + std::string(py::repr(bits)));
  }
  py::int_ value = py::reinterpret_steal<py::int_>(index);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0 || v < least || v > most) {
    throw py::value_error(std::string(name) + " must lie between " + std::to_string(least) +
                          " and " + std::to_string(most) + " for a " +
                          (is_signed ? "signed" : "unsigned") + " range, got " +
                          std::string(py::repr(bits)));
  }
  return value;
}

void define_width_check(py::module_& m) {
  // For TorchLSQ, which is made before it knows its activations' polarity.
  m.def(
      "_check_bit_widths",
      [](py::object wbits, py::object abits, py::object polarity) {
        check_bit_width(wbits, "wbits", py::str("bipolar").equal(polarity));
        check_bit_width(abits, "abits", false);
      },
      py::arg("wbits"), py::arg("abits"), py::arg("polarity"));
}

// The lowest and highest integer codes of a `bit`-bit quantizer: unsigned
// when `all_positive`, else signed, without the most negative code when
// `symmetric`. Python ints, so that any width gives exact bounds.
std::pair<py::object, py::object> code_range(const py::object& bit, const py::object& all_positive,
                                             const py::object& symmetric) {
  py::int_ two(2), one(1);
  if (py::bool_(all_positive)) {
    python_assert(!py::bool_(symmetric), "Positive quantization cannot be symmetric");
    return {py::int_(0), num_sub(num_pow(two, bit), one)};
  }
  py::object half = num_pow(two, num_sub(bit, one));
  py::object highest = num_sub(half, one);
  if (py::bool_(symmetric)) return {num_add(num_neg(half), one), highest};
  return {num_neg(half), highest};
}

// Twice the mean of `magnitude` (|x|) over sqrt(thd_pos), one value per output
// channel when `per_channel`.
at::Tensor initial_step(const at::Tensor& magnitude, const py::object& thd_pos, bool per_channel) {
  const double root = num_pow(thd_pos, py::float_(0.5)).cast<double>();
  at::Tensor mean;
  if (per_channel) {
    std::vector<int64_t> dims;
    for (int64_t d = 1; d < magnitude.dim(); ++d) dims.push_back(d);
    mean = magnitude.mean(dims, /*keepdim=*/true);
  } else {
    mean = magnitude.mean();
  }
  at::Tensor step = mean * 2 / root;
  // A channel of zeros (or of non-finite values) would get a step of 0 or
  // inf and then NaN codes; any positive step keeps zeros at zero.
  const at::Tensor usable = step.isfinite() & step.gt(0);
  if (!usable.all().item<bool>()) {
    const at::Tensor good = step.masked_select(usable);
    const double fallback = good.numel() > 0 ? good.min().item<double>() : 1.0;
    step = at::where(usable, step, at::full_like(step, fallback));
  }
  return step;
}

void define_lsq_quan(py::module_& m) {
  ClassBuilder cls(m, "LsqQuan", {m.attr("nn").attr("Module")},
                   "Learned-step-size fake quantizer with a trainable step size `s`.");
  ClassRef self_cls = cls.ref();
  cls.method(
      "__init__",
      [self_cls, m](py::object self, py::object bit, py::object all_positive,
                    py::object symmetric, py::object per_channel) {
        bit = check_bit_width(bit, "bit", !py::bool_(all_positive));
        self_cls.super(self).attr("__init__")();
        const auto [thd_neg, thd_pos] = code_range(bit, all_positive, symmetric);
        self.attr("thd_neg") = thd_neg;
        self.attr("thd_pos") = thd_pos;
        self.attr("per_channel") = per_channel;
        self.attr("s") = m.attr("nn").attr("Parameter")(at::ones({1}));
      },
      py::arg("bit"), py::arg("all_positive"), py::arg("symmetric"), py::arg("per_channel"),
      "A quantizer to `bit`-bit integer codes: 0 to 2**bit - 1 when `all_positive`, else "
      "-2**(bit-1) to 2**(bit-1) - 1, or from -2**(bit-1) + 1 when `symmetric`; `per_channel` "
      "makes init_from give one step per output channel. The step size s starts at 1.0. Raises "
      "ValueError for a bit width out of range and AssertionError for a positive symmetric "
      "quantizer.");
  cls.method(
      "init_from",
      [m](py::object self, py::object x, py::args, py::kwargs) {
        const at::Tensor magnitude = as_tensor(x, "init_from: x").detach().abs();
        const at::Tensor step = initial_step(magnitude, self.attr("thd_pos"),
                                             py::bool_(self.attr("per_channel")));
        self.attr("s") = m.attr("nn").attr("Parameter")(step);
      },
      py::arg("x"),
      "Sets the step size s from the tensor `x` (normally the float weights): twice the mean "
      "absolute value of x over the square root of the highest code, per output channel (mean "
      "over every dimension but the first) when per_channel. A step that would be zero or not "
      "finite takes the smallest usable one. Extra arguments are accepted and ignored. Returns "
      "None.");
  cls.method(
      "forward",
      [](py::object self, py::object x_obj) {
        const at::Tensor x = as_tensor(x_obj, "LsqQuan input");
        const at::Tensor s = as_tensor(self.attr("s"), "LsqQuan.s");
        const double grad_factor = step_grad_factor(self.attr("thd_pos"), x.numel());
        const double thd_neg = self.attr("thd_neg").cast<double>();
        const double thd_pos = self.attr("thd_pos").cast<double>();
        py::gil_scoped_release no_gil;
        return engine::lsq_quantize(x, s, thd_neg, thd_pos, grad_factor);
      },
      py::arg("x"),
      "The fake-quantized tensor s * round(clamp(x / s, lowest code, highest code)); rounding "
      "passes gradients straight through and the step size's gradient is scaled by 1 / "
      "sqrt(highest code * x.numel()). Raises TypeError when `x` is not a tensor.");
  cls.build();
}

void define_quantized_module(py::module_& m) {
  ClassBuilder cls(m, "QuantizedModule", {m.attr("torch").attr("nn").attr("Module")},
                   "A native layer with a training form and an integer export form.");
  ClassRef self_cls = cls.ref();
  cls.method("__init__", [self_cls](py::object self, py::args args, py::kwargs kwargs) {
    self_cls.super(self).attr("__init__")(*args, **kwargs);
    self.attr("_prepared_for_export") = false;
    self.attr("onnx_annotation") = py::none();
  },
             "Passes every argument to the next base (torch.nn.Conv2d for a convolution), then "
             "starts the layer in its training form, without an ONNX annotation.");
  cls.property("export_mode", [](py::object self) { return self.attr("_prepared_for_export"); },
               "Whether the layer is in its integer export form.");
  cls.property("weights_nbits", [](py::object) -> py::object { raise_bare(PyExc_NotImplementedError); },
               "The weight bit width; raises NotImplementedError here, subclasses give it.");
  cls.property("activations_nbits",
               [](py::object) -> py::object { raise_bare(PyExc_NotImplementedError); },
               "The activation bit width; raises NotImplementedError here, subclasses give it.");
  cls.method("prepare_for_export", [](py::object self) {
    self.attr("onnx_annotation") = py::none();
    self.attr("_prepare_for_export")();
    self.attr("_prepared_for_export") = true;
  },
             "Puts the layer into its integer export form for good (through _prepare_for_export) "
             "and clears its ONNX annotation. Returns None.");
  cls.method("_prepare_for_export", [](py::object) { raise_bare(PyExc_NotImplementedError); });
  cls.method(
      "compute_module_complexity",
      [](py::object, py::object, py::object) {
        py::dict d;
        for (const char* key : {"param_size", "activation_size", "flops", "params"}) d[key] = py::none();
        return d;
      },
      py::arg("inputs"), py::arg("outputs"),
      "The layer's complexity for the profiler, given its call's `inputs` and `outputs`: here a "
      "dict of param_size, activation_size, flops and params, all None.");
  cls.method("vexa_format", [](py::object self) {
    py::dict d;
    d["layer_type"] = py::type::of(self).attr("__name__");
    d["quant_a_bits"] = self.attr("activations_nbits");
    d["quant_w_bits"] = self.attr("weights_nbits");
    d["quant_type"] = py::reinterpret_borrow<py::object>(Py_NotImplemented);
    return d;
  },
             "The layer's record for the vexa runtime: a new dict of layer_type (the class name), "
             "quant_a_bits, quant_w_bits and quant_type (NotImplemented here). Raises "
             "NotImplementedError when the class gives no bit widths.");
  cls.method("_forward_export", [](py::object, py::args, py::kwargs) -> py::object {
    raise_bare(PyExc_NotImplementedError);
  });
  cls.method("_forward", [](py::object, py::args, py::kwargs) -> py::object {
    raise_bare(PyExc_NotImplementedError);
  });
  cls.method("forward", [](py::object self, py::args args, py::kwargs kwargs) {
    const bool exported = py::bool_(self.attr("_prepared_for_export"));
    return self.attr(exported ? "_forward_export" : "_forward")(*args, **kwargs);
  },
             "Runs the export form's forward (_forward_export) once the layer is prepared for "
             "export, the training form's (_forward) before, with the arguments given.");
  cls.build();
}

void define_quantized_conv2d(py::module_& m) {
  ClassBuilder cls(m, "QuantizedConv2D",
                   {m.attr("QuantizedModule"), m.attr("torch").attr("nn").attr("Conv2d")},
                   "A quantized 2-D convolution.");
  ClassRef self_cls = cls.ref();
  cls.method("vexa_format", [self_cls](py::object self) {
    py::object d = self_cls.super(self).attr("vexa_format")();
    d["in_channels"] = self.attr("in_channels");
    d["out_channels"] = self.attr("out_channels");
    d["kernels"] = self.attr("kernel_size");
    return d;
  },
             "The base record with the convolution's in_channels, out_channels and kernels (its "
             "kernel size) added.");
  cls.build();
}

// Refuses anything but a plain torch.nn.Conv2d (a subclass may compute
// something else): an AssertionError as before, with a message, whatever -O says.
void check_plain_conv2d(const py::object& nn, const py::object& conv) {
  if (py::type::of(conv).is(nn.attr("Conv2d"))) return;
  raise_assertion_error("LSQConv2D wraps a torch.nn.Conv2d, got " + type_name(conv));
}

// The weight step starts from the weights' values, which a meta-device
// convolution does not have.
void check_weight_values(const py::object& conv) {
  py::object weight = conv.attr("weight");
  if (!THPVariable_Check(weight.ptr())) {
    throw py::type_error("LSQConv2D needs the convolution's weight as a tensor, got " +
                         type_name(weight));
  }
  if (THPVariable_Unpack(weight.ptr()).is_meta()) {
    throw py::value_error(
        "LSQConv2D sets its weight step from the convolution's weight values, but the weight is "
        "on the meta device, which holds shapes only; materialise the convolution first (e.g. "
        "conv.to_empty(device=\"cpu\") and load or initialise its weights)");
  }
}

// The keyword arguments that rebuild `conv`'s geometry in torch.nn.Conv2d.
py::kwargs conv_geometry(const py::object& conv) {
  py::kwargs geometry;
  geometry["stride"] = conv.attr("stride");
  geometry["padding"] = conv.attr("padding");
  geometry["dilation"] = conv.attr("dilation");
  geometry["groups"] = conv.attr("groups");
  geometry["bias"] = py::bool_(!conv.attr("bias").is_none());
  geometry["padding_mode"] = conv.attr("padding_mode");
  return geometry;
}

void init_lsq_conv2d(const py::module_& m, const py::object& nn, py::object self, py::object conv,
                     py::object wbits, py::object abits, py::object polarity,
                     py::object channel_quant, py::object act_bipolar) {
  check_plain_conv2d(nn, conv);
  check_weight_values(conv);
  wbits = check_bit_width(wbits, "wbits", py::str("bipolar").equal(polarity));
  abits = check_bit_width(abits, "abits", py::bool_(act_bipolar));
  m.attr("QuantizedModule").attr("__init__")(self, conv.attr("in_channels"),
                                             conv.attr("out_channels"), conv.attr("kernel_size"),
                                             **conv_geometry(conv));
  self.attr("wbits") = wbits;
  self.attr("abits") = abits;
  self.attr("polarity") = polarity;
  self.attr("channel_quant") = channel_quant;
  self.attr("act_bipolar") = act_bipolar;
  py::object lsq_quan = m.attr("LsqQuan");
  const bool bipolar = py::str("bipolar").equal(polarity);
  self.attr("quan_w_fn") = lsq_quan(py::arg("bit") = wbits, py::arg("all_positive") = !bipolar,
                                    py::arg("symmetric") = bipolar,
                                    py::arg("per_channel") = channel_quant);
  self.attr("quan_a_fn") = lsq_quan(py::arg("bit") = abits,
                                    py::arg("all_positive") = !py::bool_(act_bipolar),
                                    py::arg("symmetric") = false, py::arg("per_channel") = false);
  // Same storage as the source convolution: training one trains the other.
  self.attr("weight") = nn.attr("Parameter")(conv.attr("weight").attr("detach")());
  self.attr("quan_w_fn").attr("init_from")(conv.attr("weight"));
  if (!conv.attr("bias").is_none()) {
    self.attr("bias") = nn.attr("Parameter")(conv.attr("bias").attr("detach")());
  }
}

// Multiply-accumulates and sizes for the profiler, from the first output.
py::dict lsq_conv2d_complexity(const py::object& self, const py::object& outputs) {
  py::object output = outputs[py::int_(0)];
  py::tuple shape = py::tuple(output.attr("shape"));
  const int64_t batch_size = shape[0].cast<int64_t>();
  int64_t output_positions = 1;
  for (size_t d = 2; d < shape.size(); ++d) output_positions *= shape[d].cast<int64_t>();
  int64_t kernel_area = 1;
  for (auto k : py::tuple(self.attr("kernel_size"))) kernel_area *= k.cast<int64_t>();
  const int64_t in_channels = self.attr("in_channels").cast<int64_t>();
  const int64_t out_channels = self.attr("out_channels").cast<int64_t>();
  const int64_t filters_per_channel = out_channels / self.attr("groups").cast<int64_t>();
  const int64_t active_elements = batch_size * output_positions;
  const int64_t conv_flops = kernel_area * in_channels * filters_per_channel * active_elements;
  const int64_t bias_flops = self.attr("bias").is_none() ? 0 : out_channels * active_elements;
  py::dict d;
  d["flops"] = py::int_(conv_flops + bias_flops);
  d["param_size"] = num_div(self.attr("wbits"), py::int_(8));
  d["activation_size"] = num_div(self.attr("abits"), py::int_(8));
  return d;
}

void define_lsq_conv2d_creation(ClassBuilder& cls, py::module_& m) {
  py::object nn = m.attr("nn");
  cls.method(
      "__init__",
      [m, nn](py::object self, py::object conv, py::object wbits, py::object abits,
          py::object polarity, py::object channel_quant, py::object act_bipolar) {
        init_lsq_conv2d(m, nn, self, conv, wbits, abits, polarity, channel_quant, act_bipolar);
      },
      py::arg("m"), py::arg("wbits"), py::arg("abits"), py::arg("polarity") = "bipolar",
      py::arg("channel_quant") = false, py::arg("act_bipolar") = false,
      "An LSQ convolution made from the torch.nn.Conv2d `m`: the same geometry, sharing m's "
      "weight and bias storage, with `wbits`-bit weights (signed symmetric codes for `polarity` "
      "\"bipolar\", unsigned otherwise; one step per output channel when `channel_quant`) and "
      "`abits`-bit input activations (signed when `act_bipolar`). The weight step starts from m's "
      "weights. Raises AssertionError when `m` is not exactly a Conv2d, TypeError when its weight "
      "is not a tensor, and ValueError for a weight on the meta device or a bit width out of "
      "range.");
}

void define_lsq_conv2d_records(ClassBuilder& cls) {
  ClassRef self_cls = cls.ref();
  cls.method("vexa_format", [self_cls](py::object self) {
    py::object d = self_cls.super(self).attr("vexa_format")();
    d["quant_type"] = "lsq";
    d["quant_polarity"] = self.attr("polarity");
    return d;
  },
             "The runtime record: layer_type, quant_a_bits, quant_w_bits, quant_type \"lsq\", "
             "in_channels, out_channels, kernels and quant_polarity.");
  cls.property("weights_nbits", [](py::object self) { return self.attr("wbits"); },
               "The weight bit width, wbits.");
  cls.property("activations_nbits", [](py::object self) { return self.attr("abits"); },
               "The activation bit width, abits.");

  cls.method(
      "compute_module_complexity",
      [](py::object self, py::object, py::object outputs) {
        return lsq_conv2d_complexity(self, outputs);
      },
      py::arg("inputs"), py::arg("outputs"),
      "The layer's complexity for the profiler, from the first of its call's `outputs`: a dict of "
      "flops (multiply-accumulates of the convolution plus one addition per output for the bias), "
      "param_size (wbits / 8 bytes) and activation_size (abits / 8 bytes); `inputs` is not used.");
}

// The export form, computed in full before `self` changes: weight codes (as
// the runtime stores them), the frozen weight step and the bias in
// accumulator units.
void prepare_lsq_conv2d_for_export(const py::object& nn, py::object self) {
  if (py::bool_(self.attr("_prepared_for_export"))) return;
  py::object quan_w = self.attr("quan_w_fn");
  py::object quan_a = self.attr("quan_a_fn");
  const at::Tensor weight = as_tensor(self.attr("weight"), "weight");
  const at::Tensor w_step = as_tensor(quan_w.attr("s"), "quan_w_fn.s");
  at::Tensor w_s_scale =
      engine::grad_scale(w_step, step_grad_factor(quan_w.attr("thd_pos"), weight.numel()));
  at::Tensor codes = integer_codes(weight, w_s_scale, quan_w);
  py::object wbits = self.attr("wbits");
  if (py::str("bipolar").equal(self.attr("polarity")) && !wbits.equal(py::int_(8))) {
    // The runtime stores signed weights narrower than a byte as unsigned
    // two's-complement codes.
    at::Tensor stored = codes.detach().cpu();
    engine::twos_comp(stored, wbits.cast<int64_t>());
    codes = stored.to(weight.device());
  }
  // The export form adds the bias inside the integer convolution, whose result
  // is then scaled by both step sizes: express the bias in accumulator units.
  py::object new_bias = py::none();
  if (!self.attr("bias").is_none()) {
    const at::Tensor bias = as_tensor(self.attr("bias"), "bias").detach();
    const at::Tensor a_step = as_tensor(quan_a.attr("s"), "quan_a_fn.s").detach();
    const at::Tensor unit = (a_step * w_s_scale.detach()).reshape({-1});
    new_bias = nn.attr("Parameter")(bias / unit);
  }
  if (py::bool_(self.attr("channel_quant"))) w_s_scale = w_s_scale.reshape({1, -1, 1, 1});
  // Everything is computed; only now is the layer changed.
  self.attr("_prepared_for_export") = true;
  self.attr("weight") = nn.attr("Parameter")(codes);
  self.attr("w_s_scale") = nn.attr("Parameter")(w_s_scale);
  if (!new_bias.is_none()) self.attr("bias") = new_bias;
}

// The layer as integer codes and real scales, from either form (see the
// docstring of _integer_form).
py::dict lsq_conv2d_integer_form(const py::object& self) {
  py::object quan_w = self.attr("quan_w_fn");
  py::object quan_a = self.attr("quan_a_fn");
  const at::Tensor a_step = as_tensor(quan_a.attr("s"), "quan_a_fn.s").detach();
  const bool exported = py::bool_(self.attr("_prepared_for_export"));
  const at::Tensor w_step = as_tensor(exported ? self.attr("w_s_scale") : quan_w.attr("s"),
                                      exported ? "w_s_scale" : "quan_w_fn.s")
                                .detach();
  if (a_step.numel() != 1 || !usable_step(a_step) || !usable_step(w_step)) {
    throw py::value_error(
        "the step sizes of this LSQ layer must be positive and finite (and the "
        "activation step a single value) to give integer codes");
  }
  const at::Tensor scale = w_step.reshape({-1});
  at::Tensor codes;
  py::object bias = self.attr("bias");
  py::object real_bias = py::none();
  if (exported) {
    codes = signed_weight_codes(self).detach();
    // The export form holds the bias in accumulator units.
    if (!bias.is_none()) {
      real_bias = py::cast(as_tensor(bias, "bias").detach() * a_step.reshape({}) * scale);
    }
  } else {
    codes = integer_codes(as_tensor(self.attr("weight"), "weight").detach(), w_step, quan_w);
    if (!bias.is_none()) real_bias = py::cast(as_tensor(bias, "bias").detach().clone());
  }
  py::dict form;
  form["weight_codes"] = codes;
  form["weight_scale"] = scale.clone();
  form["weight_range"] = py::make_tuple(quan_w.attr("thd_neg"), quan_w.attr("thd_pos"));
  form["bias"] = real_bias;
  form["act_step"] = a_step.reshape({}).item<double>();
  form["act_range"] = py::make_tuple(quan_a.attr("thd_neg"), quan_a.attr("thd_pos"));
  return form;
}

// The export form's forward: integer activation codes (annotated for the
// ONNX export when asked) convolved with the weight codes, then rescaled.
at::Tensor lsq_conv2d_forward_export(const py::module_& m, const py::object& self,
                                     const py::object& x_obj) {
  py::object quan_a = self.attr("quan_a_fn");
  const at::Tensor x = as_tensor(x_obj, "the input");
  const at::Tensor step = as_tensor(quan_a.attr("s"), "quan_a_fn.s");
  const bool onnx = in_onnx_export(m);
  // ONNX gets the step plainly, as the fused quantizer's ONNX form does, and
  // codes rounded plainly: round_pass gives round's value (+0 for -0), and
  // grad_scale the step's, to the last bit at most.
  const at::Tensor a_s_scale =
      onnx ? step : engine::grad_scale(step, step_grad_factor(quan_a.attr("thd_pos"), x.numel()));
  py::object acts;
  if (onnx) {
    acts = py::cast(at::round(at::clamp(x / a_s_scale, quan_a.attr("thd_neg").cast<double>(),
                                        quan_a.attr("thd_pos").cast<double>())));
  } else {
    acts = py::cast(integer_codes(x, a_s_scale, quan_a));
  }
  py::object annotation = self.attr("onnx_annotation");
  if (!annotation.is_none() && onnx) acts = m.attr("onnx_annotator")(acts, annotation);
  const at::Tensor conv_res = as_tensor(
      self.attr("_conv_forward")(acts, signed_weight_codes(self), self.attr("bias")), "conv");
  return conv_res * a_s_scale * as_tensor(self.attr("w_s_scale"), "w_s_scale");
}

void define_lsq_conv2d_forms(ClassBuilder& cls, py::module_& m) {
  py::object nn = m.attr("nn");
  cls.method(
      "_forward",
      [m](py::object self, py::object x) {
        // The quantized weights depend on parameters only: ONNX gets them as
        // one constant, which its exporter may fold a batch norm into.
        py::object quantized_weight =
            in_onnx_export(m) ? py::cast(as_trace_constant([&] {
              return as_tensor(self.attr("quan_w_fn")(self.attr("weight")), "quantized weight");
            }))
                              : self.attr("quan_w_fn")(self.attr("weight"));
        py::object quantized_act = self.attr("quan_a_fn")(x);
        // The convolution's own forward, so that non-zero padding modes are honoured.
        return self.attr("_conv_forward")(quantized_act, quantized_weight, self.attr("bias"));
      },
      py::arg("x"),
      "The training form: the convolution of the fake-quantized input `x` with the fake-quantized "
      "weights, plus the bias.");

  cls.method("_prepare_for_export",
             [nn](py::object self) { prepare_lsq_conv2d_for_export(nn, self); },
             "Turns the layer into its export form once: weight codes in weight, the weight step "
             "frozen as w_s_scale and the bias in accumulator units. Everything is computed "
             "before the layer changes. Returns None.");

  cls.method(
      "_integer_form", [](py::object self) { return lsq_conv2d_integer_form(self); },
      "The layer as integers, whichever form it is in: a dict of the signed weight "
      "codes (float tensor of integers), the weight step per output channel or a "
      "single one (1-D \"weight_scale\"), the code range of weights and of input "
      "activations, the activation step (a float) and the bias in real units (or "
      "None). The layer computes conv(q_a * act_step, codes * weight_scale) + bias "
      "with q_a the activation codes. Raises ValueError for step sizes that are not "
      "positive and finite.");

  cls.method(
      "_forward_export",
      [m](py::object self, py::object x_obj) { return lsq_conv2d_forward_export(m, self, x_obj); },
      py::arg("x"),
      "The export form: the convolution of the integer activation codes of `x` with the weight "
      "codes (and the bias in accumulator units), rescaled by both step sizes.");
}

void define_lsq_conv2d(py::module_& m) {
  ClassBuilder cls(m, "LSQConv2D", {m.attr("QuantizedConv2D")},
                   "A 2-D convolution whose weights and input activations are LSQ-quantized.");
  define_lsq_conv2d_creation(cls, m);
  define_lsq_conv2d_records(cls);
  define_lsq_conv2d_forms(cls, m);
  cls.build();
}

// ONNX has no LSQ operator: the fused quantizer exports as the float steps it
// computes (Div, Clip, Round, Mul), in the same order, so the ONNX model
// computes the same values bit for bit. Only the forward value matters there.
void define_onnx_symbolic(py::module_& m) {
  py::object helper = py::module_::import("torch.onnx.symbolic_helper");
  py::object torch = m.attr("torch");
  {
    // torch.onnx reads the symbolic's signature; builtins get one from a
    // "name(args)\n--\n\n" head of their docstring.
    py::options options;
    options.disable_function_signatures();
    m.def(
        "_lsq_quantize_symbolic",
        [helper, torch](py::object g, py::object x, py::object s, py::object thd_neg,
                        py::object thd_pos, py::object) {
          auto bound = [&](const py::object& value, const char* name) {
            const double v = helper.attr("_get_const")(value, "f", name).cast<double>();
            return g.attr("op")("Constant", py::arg("value_t") = torch.attr("tensor")(
                                                v, py::arg("dtype") = torch.attr("float32")));
          };
          py::object codes = g.attr("op")("Div", x, s);
          codes = g.attr("op")("Clip", codes, bound(thd_neg, "thd_neg"), bound(thd_pos, "thd_pos"));
          codes = g.attr("op")("Round", codes);
          return g.attr("op")("Mul", codes, s);
        },
        "_lsq_quantize_symbolic(g, x, s, thd_neg, thd_pos, grad_factor)\n--\n\n"
        "ONNX form of orrery::lsq_quantize: Div, Clip, Round, Mul.");
  }
  // Round and Clip with bound inputs need opset 11.
  torch.attr("onnx").attr("register_custom_op_symbolic")("orrery::lsq_quantize",
                                                          m.attr("_lsq_quantize_symbolic"), 11);
}

// Every LSQ quantizer of a model must have a step the export can divide by.
void define_step_check(py::module_& m) {
  m.def(
      "_check_step_sizes",
      [m](py::object model) {
        py::object lsq_quan = m.attr("LsqQuan");
        for (py::handle item : model.attr("named_modules")()) {
          py::tuple named = py::reinterpret_borrow<py::tuple>(item);
          py::object module = named[1];
          if (!py::isinstance(module, lsq_quan)) continue;
          py::object step = module.attr("s");
          if (THPVariable_Check(step.ptr()) && usable_step(THPVariable_Unpack(step.ptr()))) continue;
          const std::string name = named[0].cast<std::string>();
          const auto dot = name.rfind('.');
          const std::string layer = dot == std::string::npos ? std::string() : name.substr(0, dot);
          const std::string quantizer = dot == std::string::npos ? name : name.substr(dot + 1);
          throw py::value_error(
              "LSQ layer '" + (layer.empty() ? std::string("(the model itself)") : layer) +
              "' has a step size (" + quantizer + ".s = " + std::string(py::repr(step)) +
              ") that is zero, negative or not finite, so it has no integer codes; retrain "
              "the layer or reset the step with " + quantizer + ".init_from(...) before "
              "exporting. Nothing was written.");
        }
      },
      py::arg("model"),
      "Raises ValueError naming the first LSQ layer whose step size is zero, negative or "
      "not finite.");
}

}  // namespace

PYBIND11_MODULE(quant_bridge, m) {
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("np") = py::module_::import("numpy");
  orrery::bind::import_names(m, "corvex.model_converter.pytorch_converter.pytorch_converter",
                             {"onnx_annotator"});
  define_functions(m);
  define_width_check(m);
  define_lsq_quan(m);
  define_quantized_module(m);
  define_quantized_conv2d(m);
  define_lsq_conv2d(m);
  define_onnx_symbolic(m);
  define_step_check(m);
}
