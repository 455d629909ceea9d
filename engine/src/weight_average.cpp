// The fused weight-average update. The file is built with -ffp-contract=off:
// v * d + t * c must round after each product and after the sum, exactly as
// the separate ATen operations do, never as one fused multiply-add.
#include "orrery_engine/weight_average.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

namespace orrery::engine {
namespace {

// Elements per task: big enough to amortise scheduling, small enough to share
// one large tensor between threads.
constexpr int64_t kBlock = 32768;

#pragma GCC diagnostic ignored "-Wpsabi"
#define ORRERY_EMA_INLINE __attribute__((always_inline)) inline

template <typename scalar_t>
ORRERY_EMA_INLINE void ema_block(scalar_t* v, const scalar_t* t, int64_t n, scalar_t d,
                                 scalar_t c) {
  // 32-byte GCC vector types (see lsq_cpu.cpp for why not at::vec).
  typedef scalar_t Lanes __attribute__((vector_size(32)));
  constexpr int64_t kLanes = 32 / sizeof(scalar_t);
  const Lanes dv = Lanes{} + d;
  const Lanes cv = Lanes{} + c;
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    Lanes a, b;
    std::memcpy(&a, v + i, sizeof(a));
    std::memcpy(&b, t + i, sizeof(b));
    const Lanes kept = a * dv;
    const Lanes taken = b * cv;
    const Lanes sum = kept + taken;
    std::memcpy(v + i, &sum, sizeof(sum));
  }
  for (; i < n; ++i) {
    const scalar_t kept = v[i] * d;
    const scalar_t taken = t[i] * c;
    v[i] = kept + taken;
  }
}

}  // namespace

#define ORRERY_EMA_CLONES __attribute__((target_clones("avx2", "default")))

ORRERY_EMA_CLONES void ema_block_float(float* v, const float* t, int64_t n, float d, float c) {
  ema_block<float>(v, t, n, d, c);
}

ORRERY_EMA_CLONES void ema_block_double(double* v, const double* t, int64_t n, double d,
                                        double c) {
  ema_block<double>(v, t, n, d, c);
}

namespace {

bool fusable(const at::Tensor& v, const at::Tensor& t) {
  const auto type = v.scalar_type();
  return v.device().is_cpu() && t.device().is_cpu() && type == t.scalar_type() &&
         (type == at::kFloat || type == at::kDouble) && v.is_contiguous() &&
         t.is_contiguous() && v.numel() > 0;
}

// True when an averaged tensor shares memory with another averaged tensor or
// with any trained one (tied weights, a network averaged into itself). The
// result then depends on the order of the updates, so they run one by one.
bool any_aliasing(const std::vector<at::Tensor>& averaged, const std::vector<at::Tensor>& trained) {
  std::unordered_set<const void*> storages;
  for (const auto& v : averaged) {
    if (v.has_storage() && !storages.insert(v.storage().unsafeGetStorageImpl()).second) {
      return true;
    }
  }
  for (const auto& t : trained) {
    if (t.has_storage() && storages.count(t.storage().unsafeGetStorageImpl()) > 0) return true;
  }
  return false;
}

struct Task {
  size_t pair;
  int64_t begin;
  int64_t end;
};

}  // namespace

void ema_update_(const std::vector<at::Tensor>& averaged, const std::vector<at::Tensor>& trained,
                 double decay, const std::vector<std::string>& names) {
  TORCH_CHECK(averaged.size() == trained.size(), "ema_update_: ", averaged.size(),
              " averaged tensors but ", trained.size(), " trained ones");
  TORCH_CHECK(names.empty() || names.size() == averaged.size(), "ema_update_: ", names.size(),
              " names for ", averaged.size(), " tensor pairs");
  auto entry = [&names](size_t i) {
    return names.empty() ? "tensor pair " + std::to_string(i) : "entry " + names[i];
  };
  for (size_t i = 0; i < averaged.size(); ++i) {
    TORCH_CHECK(averaged[i].defined() && trained[i].defined(), "ema_update_: ", entry(i),
                " holds an undefined tensor");
    TORCH_CHECK(averaged[i].is_floating_point(), "ema_update_: the averaged ", entry(i),
                " is not floating point (", averaged[i].scalar_type(), ")");
    TORCH_CHECK(averaged[i].sizes() == trained[i].sizes(), "ema_update_: ", entry(i), " has shape ",
                averaged[i].sizes(), " in the average but ", trained[i].sizes(),
                " in the trained network; the two networks must have the same architecture");
    TORCH_CHECK(averaged[i].device() == trained[i].device(), "ema_update_: ", entry(i), " is on ",
                averaged[i].device(), " in the average but on ", trained[i].device(),
                " in the trained network; move both networks to the same device first");
  }

  at::NoGradGuard no_grad;
  // ATen converts a double scalar to the tensor's type before multiplying.
  const double complement = 1.0 - decay;
  const bool in_order = any_aliasing(averaged, trained);
  std::vector<Task> tasks;
  for (size_t i = 0; i < averaged.size(); ++i) {
    const at::Tensor& v = averaged[i];
    const at::Tensor& t = trained[i];
    if (in_order || !fusable(v, t)) {
      v.mul_(decay);
      v.add_(t.mul(complement));
      continue;
    }
    // Written through raw pointers below; autograd still learns of the change.
    v.unsafeGetTensorImpl()->bump_version();
    const int64_t n = v.numel();
    for (int64_t begin = 0; begin < n; begin += kBlock) {
      tasks.push_back({i, begin, std::min(n, begin + kBlock)});
    }
  }

  const auto d_float = static_cast<float>(decay);
  const auto c_float = static_cast<float>(complement);
  at::parallel_for(0, static_cast<int64_t>(tasks.size()), 1, [&](int64_t first, int64_t last) {
    for (int64_t k = first; k < last; ++k) {
      const Task& task = tasks[k];
      const at::Tensor& v = averaged[task.pair];
      const at::Tensor& t = trained[task.pair];
      const int64_t n = task.end - task.begin;
      if (v.scalar_type() == at::kFloat) {
        ema_block_float(v.data_ptr<float>() + task.begin, t.data_ptr<float>() + task.begin, n,
                        d_float, c_float);
      } else {
        ema_block_double(v.data_ptr<double>() + task.begin, t.data_ptr<double>() + task.begin,
                         n, decay, complement);
      }
    }
  });
}

}  // namespace orrery::engine
