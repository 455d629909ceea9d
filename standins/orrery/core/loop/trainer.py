"""Builds a main loop from a backend framework and configuration dictionaries."""
from corvex.profiler.utils import Device
from orrery.core.loop.main_loop import LossFunction, MainLoop


class Trainer:
    """Makes the backend's optimiser, scheduler and loaders, then a MainLoop over them."""

    def __init__(self, framework, model, loss, data_splits, optimizer_config,
                 scheduler_config=None, max_steps=None, device=Device.CPU,
                 knowledge_distillation=None, ema=None, eval_split=None, eval_function=None,
                 checkpoint_path=None, extensions=(), config=None, main_split_name="train"):
        self.framework = framework
        self.model = model
        self.loss = loss
        self.data_splits = data_splits
        self.optimizer_config = optimizer_config
        self.scheduler_config = scheduler_config
        self.max_steps = max_steps
        self.device = device
        self.knowledge_distillation = knowledge_distillation
        self.ema = ema
        self.eval_split = eval_split
        self.eval_function = eval_function
        self.checkpoint_path = checkpoint_path
        self.extensions = tuple(extensions)
        self.config = {} if config is None else config
        self.main_split_name = main_split_name
        self.main_loop = None

    def make(self):
        """Builds the main loop once; later calls return the same loop."""
        if self.main_loop is not None:
            return self.main_loop
        framework, model = self.framework, self.model
        scheduler_config = self.scheduler_config
        if scheduler_config is not None and not isinstance(scheduler_config, dict):
            raise TypeError("scheduler_config must be a dict with 'factory', 'eval_based' and "
                            "'vanish_lr', got {}".format(type(scheduler_config).__name__))
        if not isinstance(self.data_splits, dict) or not self.data_splits:
            raise TypeError("data_splits must be a non-empty dict of split name -> DataLoader")
        # Resolve both factories first: a bad name fails before the model moves.
        nn = framework.create_nn(self.config)
        if scheduler_config is None:
            scheduler_config = nn.loop_scheduler_cls.get_default_scheduler_dict()
        opt_factory = nn.native_optimizer_factory_from_dict(self.optimizer_config)
        sched_factory = nn.native_scheduler_factory_from_dict(scheduler_config.get("factory"))

        params = {"device": self.device}
        for callback in framework.get_default_trainer_pre_make_callbacks():
            callback(params, model)

        native_optimizer = opt_factory.make(model.native_model)
        optimizer = nn.loop_optimizer_cls(native_optimizer)
        scheduler = nn.loop_scheduler_cls(native_scheduler=sched_factory.make(native_optimizer))

        loss = self.loss if isinstance(self.loss, LossFunction) else LossFunction(self.loss)
        loaders = {name: framework.dl_cls(loader, None) for name, loader in self.data_splits.items()}
        loop = MainLoop(model=model, loss_function=loss, optimizer=optimizer, data_splits=loaders,
                        main_split_name=self.main_split_name, device=self.device,
                        max_steps=self.max_steps,
                        knowledge_distillation=self.knowledge_distillation, ema=self.ema,
                        eval_split=self.eval_split, eval_function=self.eval_function,
                        scheduler_config=scheduler_config, checkpoint_path=self.checkpoint_path)
        loop.add_extension(scheduler)
        for extension in self.extensions:
            loop.add_extension(extension)

        params["main_loop"] = loop
        for callback in framework.get_default_trainer_post_make_callbacks():
            callback(params, model)
        if self.knowledge_distillation is not None:
            self.knowledge_distillation.to_device(self.device)
        self.main_loop = loop
        return loop

    def run(self):
        loop = self.make()
        loop.run()
        return loop
