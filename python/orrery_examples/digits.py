"""scikit-learn's handwritten digits (8x8 images, shipped with python3-sklearn,
nothing downloaded) and a small CNN for them: the real data and model that the
examples, tests and benchmarks train."""
import torch
from torch import nn


def digits_tensors(seed=0, test_fraction=0.2):
    """(x_train, y_train, x_test, y_test): images scaled to [0, 1] as N x 1 x 8 x 8
    float tensors and integer labels, split by a fixed permutation."""
    from sklearn.datasets import load_digits

    digits = load_digits()
    x = torch.tensor(digits.images, dtype=torch.float32).unsqueeze(1) / 16.0
    y = torch.tensor(digits.target, dtype=torch.int64)
    order = torch.randperm(len(y), generator=torch.Generator().manual_seed(seed))
    n_test = int(len(y) * test_fraction)
    test, train = order[:n_test], order[n_test:]
    return x[train], y[train], x[test], y[test]


def digits_loaders(batch_size=64, seed=0):
    """Train (shuffled) and test loaders over the fixed split."""
    x_train, y_train, x_test, y_test = digits_tensors(seed)
    train = torch.utils.data.DataLoader(torch.utils.data.TensorDataset(x_train, y_train),
                                        batch_size=batch_size, shuffle=True)
    test = torch.utils.data.DataLoader(torch.utils.data.TensorDataset(x_test, y_test),
                                       batch_size=256)
    return train, test


class DigitsCNN(nn.Module):
    """Three 3x3 convolutions with batch norm, one pooling step, one linear layer."""

    def __init__(self, width=16, classes=10):
        super().__init__()
        self.features = nn.Sequential(
            nn.Conv2d(1, width, 3, padding=1, bias=False), nn.BatchNorm2d(width), nn.ReLU(),
            nn.Conv2d(width, 2 * width, 3, padding=1, bias=False), nn.BatchNorm2d(2 * width),
            nn.ReLU(), nn.MaxPool2d(2),
            nn.Conv2d(2 * width, 2 * width, 3, padding=1, bias=False),
            nn.BatchNorm2d(2 * width), nn.ReLU())
        self.classifier = nn.Linear(2 * width * 4 * 4, classes)

    def forward(self, x):
        return self.classifier(torch.flatten(self.features(x), 1))


@torch.no_grad()
def accuracy(native_model, loader):
    """Top-1 accuracy over a loader of (inputs, labels); leaves the mode as it was."""
    was_training = native_model.training
    native_model.eval()
    correct = total = 0
    for x, y in loader:
        correct += (native_model(x).argmax(1) == y).sum().item()
        total += len(y)
    native_model.train(was_training)
    return correct / total
