"""Stand-in for the orrery core: the parts the PyTorch backend relies on."""
