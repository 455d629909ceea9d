"""A test-only stand-in for Horovod: ``horovod.torch`` on torch.distributed."""
