"""``horovod.torch`` for tests, on torch.distributed with the gloo backend.

Only what data-parallel training needs: initialisation from the variables
Horovod's launcher sets, rank and size queries, broadcasts of objects,
parameters and optimiser state, and DistributedOptimizer, which averages
gradients with asynchronous allreduces started from backward hooks, fusing
small gradients into one buffer as Horovod's Tensor Fusion does
(HOROVOD_FUSION_THRESHOLD bytes, 64 MiB by default; 0 sends each on its own).

The launcher sets HOROVOD_RANK, HOROVOD_SIZE, HOROVOD_LOCAL_RANK,
HOROVOD_LOCAL_SIZE and MASTER_ADDR / MASTER_PORT (torch.distributed's
rendezvous). Without HOROVOD_RANK and HOROVOD_SIZE, ``init`` makes a group of
one process, as Horovod does for a script started without its launcher.

Unlike Horovod, which matches collectives across processes by name, gloo
matches them by the order they are issued in: every process must issue the
same collectives in the same order, so gradients must come from the same
graph on every process.
"""
import atexit
import contextlib
import datetime
import os
import time
import warnings

import torch
import torch.distributed as dist

Average, Sum, Adasum = "Average", "Sum", "Adasum"

_world = None  # (rank, size, local_rank, local_size) once initialised
_own_group = False  # whether init() made torch.distributed's group, so shutdown() ends it
_NOT_INITIALIZED = "Horovod has not been initialized; use hvd.init()."
# How long synchronize() polls an allreduce before it blocks on it.
_POLL_SECONDS = 0.02


def _env_int(name, default=None):
    value = os.environ.get(name)
    if value is None:
        return default
    try:
        return int(value)
    except ValueError:
        raise ValueError("{} must be an integer, got {!r}".format(name, value)) from None


def init(comm=None):
    """Joins the process group; later calls do nothing."""
    global _world, _own_group
    if comm is not None:
        raise ValueError("this horovod.torch runs on torch.distributed and takes no MPI "
                         "communicator; call init() without one")
    if _world is not None:
        return
    rank, size = _env_int("HOROVOD_RANK"), _env_int("HOROVOD_SIZE")
    if (rank is None) != (size is None):
        raise ValueError("HOROVOD_RANK and HOROVOD_SIZE must be set together (got HOROVOD_RANK={}, "
                         "HOROVOD_SIZE={})".format(os.environ.get("HOROVOD_RANK"),
                                                   os.environ.get("HOROVOD_SIZE")))
    if rank is None:
        rank, size = 0, 1
    if not 0 <= rank < size:
        raise ValueError("HOROVOD_RANK={} is outside 0..HOROVOD_SIZE-1 ({})".format(rank, size - 1))
    timeout = datetime.timedelta(seconds=_env_int("HOROVOD_GLOO_TIMEOUT_SECONDS", 30))
    _own_group = not dist.is_initialized()
    if _own_group:
        if size == 1 and "MASTER_PORT" not in os.environ:
            dist.init_process_group("gloo", store=dist.HashStore(), rank=0, world_size=1,
                                    timeout=timeout)
        else:
            missing = [v for v in ("MASTER_ADDR", "MASTER_PORT") if v not in os.environ]
            if missing:
                raise ValueError("{} must be set to rank 0's address for {} processes".format(
                    " and ".join(missing), size))
            dist.init_process_group("gloo", init_method="env://", rank=rank, world_size=size,
                                    timeout=timeout)
    elif (dist.get_rank(), dist.get_world_size()) != (rank, size):
        raise ValueError("torch.distributed is already initialised as rank {} of {}, but "
                         "HOROVOD_RANK/HOROVOD_SIZE say {} of {}".format(
                             dist.get_rank(), dist.get_world_size(), rank, size))
    _world = (rank, size, _env_int("HOROVOD_LOCAL_RANK", rank),
              _env_int("HOROVOD_LOCAL_SIZE", size))
    # As Horovod does: a group left to the interpreter's teardown can abort the process.
    atexit.register(shutdown)


def shutdown():
    global _world, _own_group
    if _own_group and dist.is_initialized():
        dist.destroy_process_group()
    _world, _own_group = None, False


def is_initialized():
    return _world is not None


def _checked_world():
    if _world is None:
        raise ValueError(_NOT_INITIALIZED)
    return _world


def rank():
    return _checked_world()[0]


def size():
    return _checked_world()[1]


def local_rank():
    return _checked_world()[2]


def local_size():
    return _checked_world()[3]


def broadcast_object(obj, root_rank=0, name=None):
    """Root's ``obj`` in every process (root gets its own object back)."""
    holder = [obj if rank() == root_rank else None]
    dist.broadcast_object_list(holder, src=root_rank)
    return holder[0]


def broadcast_parameters(params, root_rank):
    """Overwrites every tensor of ``params`` in place with root's.

    ``params`` is a dict such as a state_dict (broadcast in name order) or a
    list of tensors or (name, tensor) pairs; like Horovod, nothing else.
    """
    if isinstance(params, dict):
        tensors = [t for _, t in sorted(params.items(), key=lambda item: item[0])]
    elif isinstance(params, list):
        tensors = [p[1] if isinstance(p, tuple) else p for p in params]
    else:
        raise ValueError("invalid params of type: {}".format(type(params)))
    _checked_world()
    with torch.no_grad():
        works = [dist.broadcast(t, root_rank, async_op=True) for t in tensors]
    for work in works:
        work.wait()


def broadcast_optimizer_state(optimizer, root_rank):
    """Makes the optimiser's hyper-parameters and state root's, in place.

    The param-group dicts and state tensors are updated rather than replaced,
    as Horovod does, so schedulers holding the groups keep steering them.
    """
    root = broadcast_object(optimizer.state_dict() if rank() == root_rank else None, root_rank)
    if rank() == root_rank:
        return
    groups = optimizer.param_groups
    shape = [len(g["params"]) for g in groups]
    if shape != [len(g["params"]) for g in root["param_groups"]]:
        raise ValueError("the optimizer's param groups hold {} parameters but rank {}'s hold {}; "
                         "build the same optimizer in every process".format(
                             shape, root_rank, [len(g["params"]) for g in root["param_groups"]]))
    for group, root_group in zip(groups, root["param_groups"]):
        for key, value in root_group.items():
            if key != "params":
                group[key] = value
        for p, index in zip(group["params"], root_group["params"]):
            root_state = root["state"].get(index)
            if root_state is None:
                optimizer.state.pop(p, None)
                continue
            state = optimizer.state[p]
            for key in [k for k in state if k not in root_state]:
                del state[key]
            for key, value in root_state.items():
                old = state.get(key)
                if (torch.is_tensor(old) and torch.is_tensor(value) and old.shape == value.shape
                        and old.dtype == value.dtype):
                    old.copy_(value)
                else:
                    state[key] = value


class Compressor:
    """Turns a gradient into what is allreduced, and back."""

    @staticmethod
    def compress(tensor):
        raise NotImplementedError

    @staticmethod
    def decompress(tensor, ctx):
        raise NotImplementedError


class NoneCompressor(Compressor):
    @staticmethod
    def compress(tensor):
        return tensor, None

    @staticmethod
    def decompress(tensor, ctx):
        return tensor


class FP16Compressor(Compressor):
    @staticmethod
    def compress(tensor):
        if tensor.dtype.is_floating_point:
            return tensor.type(torch.float16), tensor.dtype
        return tensor, None

    @staticmethod
    def decompress(tensor, ctx):
        return tensor if ctx is None else tensor.type(ctx)


class Compression:
    none = NoneCompressor
    fp16 = FP16Compressor


def _wait(work):
    """Waits for ``work`` as Horovod's synchronize does, polling its handle
    instead of sleeping on it: a process that sleeps gives its core away, and
    on a busy or virtualised machine getting it back can take milliseconds,
    far longer than the allreduce. Yielding between polls lets gloo's threads,
    which share the core, make progress; a wait past _POLL_SECONDS blocks."""
    deadline = time.monotonic() + _POLL_SECONDS
    while not work.is_completed() and time.monotonic() < deadline:
        os.sched_yield()
    work.wait()


class _DistributedOptimizer:
    """Put before the wrapped optimiser's class in a class made for it, so the
    result is still that optimiser (schedulers accept it) with its own state
    and the wrapped one's param-group dicts."""

    def __init__(self, params, named_parameters, compression, backward_passes_per_step, op,
                 gradient_predivide_factor):
        super().__init__(params)
        if named_parameters is None:
            named_parameters = [("allreduce.noname.{}.{}".format(i, j), p)
                                for i, group in enumerate(self.param_groups)
                                for j, p in enumerate(group["params"])]
        else:
            named_parameters = list(named_parameters)
        if not all(isinstance(item, tuple) for item in named_parameters):
            raise ValueError("named_parameters should be a sequence of tuples (name, parameter), "
                             "usually produced by model.named_parameters().")
        names = [name for name, _ in named_parameters]
        duplicates = sorted({name for name in names if names.count(name) > 1})
        if duplicates:
            raise ValueError("Parameter names in named_parameters must be unique. Found "
                             "duplicates: {}".format(", ".join(duplicates)))
        named_ids = {id(p) for _, p in named_parameters}
        unnamed = [p for g in self.param_groups for p in g["params"] if id(p) not in named_ids]
        if unnamed:
            raise ValueError("named_parameters was specified, but {} of the optimizer's "
                             "parameters were not named".format(len(unnamed)))
        self._parameter_names = {p: name for name, p in named_parameters}
        self._compression = compression
        self.backward_passes_per_step = backward_passes_per_step
        self.op = op
        self.gradient_predivide_factor = gradient_predivide_factor
        # parameter -> True once its gradient is queued for an allreduce, False while
        # it waits for more backward passes
        self._handles = {}
        self._requires_update = [p for g in self.param_groups for p in g["params"]
                                 if p.requires_grad]
        self._delay = {p: backward_passes_per_step for p in self._requires_update}
        # synchronize() sends gradients the hooks did not see in name order, the same everywhere
        self._by_name = sorted(self._requires_update, key=lambda p: self._parameter_names[p])
        self._fusion_threshold = _env_int("HOROVOD_FUSION_THRESHOLD", 64 * 1024 * 1024)
        self._bucket, self._bucket_bytes = [], 0  # (parameter, tensor, ctx) not sent yet
        self._in_flight = []  # (work, buffer, bucket entries)
        self._synchronized = False
        self._should_synchronize = True
        # The accumulators are kept alive: a freed one would be rebuilt without the hook.
        self._grad_accs = []
        self.bw_hook_handles = []
        for p in self._requires_update:
            accumulator = p.expand_as(p).grad_fn.next_functions[0][0]
            self.bw_hook_handles.append(accumulator.register_hook(self._make_hook(p)))
            self._grad_accs.append(accumulator)

    def _make_hook(self, p):
        def hook(*_):
            if self._delay[p] <= 0:
                raise AssertionError("Gradients were computed more than backward_passes_per_step "
                                     "times before call to step(). Increase "
                                     "backward_passes_per_step to accumulate gradients locally.")
            self._delay[p] -= 1
            self._handles[p] = False
            if self._delay[p] == 0:
                self._enqueue(p)
        return hook

    def _enqueue(self, p):
        """Queues p's gradient for the next fused allreduce; as Horovod's Tensor
        Fusion, a buffer is sent once it holds HOROVOD_FUSION_THRESHOLD bytes
        (0: every gradient on its own, as soon as it is ready)."""
        if p.grad is None:
            # Another process may have a gradient for it; every process must take part.
            p.grad = torch.zeros_like(p)
        tensor, ctx = self._compression.compress(p.grad)
        if self._bucket and self._bucket[0][1].dtype != tensor.dtype:
            self._flush()
        self._bucket.append((p, tensor, ctx))
        self._bucket_bytes += tensor.numel() * tensor.element_size()
        self._handles[p] = True
        if self._bucket_bytes >= self._fusion_threshold:
            self._flush()

    def _flush(self):
        if not self._bucket:
            return
        entries, self._bucket, self._bucket_bytes = self._bucket, [], 0
        if len(entries) == 1:
            buffer = entries[0][1]
        else:
            buffer = torch.cat([tensor.reshape(-1) for _, tensor, _ in entries])
        if self.op == Average and self.gradient_predivide_factor != 1.0:
            buffer.div_(self.gradient_predivide_factor)
        self._in_flight.append((dist.all_reduce(buffer, async_op=True), buffer, entries))

    def synchronize(self):
        """Waits for every gradient's allreduce, sending those not sent yet."""
        for p in self._by_name:
            if not self._handles.get(p):
                self._enqueue(p)
        self._flush()
        for work, buffer, entries in self._in_flight:
            _wait(work)
            if self.op == Average:
                buffer.mul_(self.gradient_predivide_factor / size())
            offset = 0
            for p, tensor, ctx in entries:
                if buffer is not tensor:
                    tensor.copy_(buffer[offset:offset + tensor.numel()].view_as(tensor))
                    offset += tensor.numel()
                output = self._compression.decompress(tensor, ctx)
                if output is not p.grad:
                    p.grad.copy_(output)
                self._delay[p] = self.backward_passes_per_step
        self._in_flight.clear()
        self._handles.clear()
        self._synchronized = True

    @contextlib.contextmanager
    def skip_synchronize(self):
        """For a step() after an explicit synchronize()."""
        self._should_synchronize = False
        try:
            yield
        finally:
            self._should_synchronize = True

    def step(self, closure=None):
        if self._should_synchronize:
            if self._synchronized:
                warnings.warn("optimizer.step() called without optimizer.skip_synchronize() "
                              "context after optimizer.synchronize(). This can cause training "
                              "slowdown.")
            self.synchronize()
        self._synchronized = False
        return super().step(closure)

    def zero_grad(self, *args, **kwargs):
        if self._handles:
            raise AssertionError("optimizer.zero_grad() was called after loss.backward() but "
                                 "before optimizer.step() or optimizer.synchronize(). This is "
                                 "prohibited as it can cause a race condition.")
        return super().zero_grad(*args, **kwargs)


def DistributedOptimizer(optimizer, named_parameters=None, compression=Compression.none,
                         backward_passes_per_step=1, op=Average, gradient_predivide_factor=1.0):
    """An optimiser of ``optimizer``'s class over its param groups whose step
    first averages (or sums, op=Sum) the gradients over all processes."""
    size()  # refuses before init(), like Horovod
    if op not in (Average, Sum):
        raise ValueError("op must be hvd.Average or hvd.Sum here (Adasum is not available in "
                         "this torch.distributed build), got {!r}".format(op))
    if gradient_predivide_factor != 1.0 and op != Average:
        raise ValueError("gradient_predivide_factor not supported with op != Average")
    if not isinstance(backward_passes_per_step, int) or backward_passes_per_step < 1:
        raise ValueError("backward_passes_per_step must be a positive integer, got {!r}".format(
            backward_passes_per_step))
    cls = type(optimizer.__class__.__name__, (_DistributedOptimizer, optimizer.__class__), {})
    return cls(optimizer.param_groups, named_parameters, compression, backward_passes_per_step,
               op, gradient_predivide_factor)
