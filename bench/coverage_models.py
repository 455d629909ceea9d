"""Small networks written after well-known designs that torchvision does not
ship, for bench_coverage.py: each uses a channel operator real CNNs rely on.

  ghostnet        GhostNet bottlenecks: a cheap depthwise convolution's output
                  concatenated to the primary one's, then sliced to the width asked
  resnet20_a      a CIFAR ResNet-20 whose shortcuts zero-pad new channels (option A)
  espcn           an ESPCN super-resolution head ending in pixel_shuffle(3)
  mobilenet_dm2   a MobileNet whose depthwise convolutions double the channels
"""
import math

import torch
import torch.nn.functional as F
from torch import nn


def conv_bn(cin, cout, k=3, stride=1, groups=1, relu=True):
    layers = [nn.Conv2d(cin, cout, k, stride, k // 2, groups=groups, bias=False), nn.BatchNorm2d(cout)]
    return nn.Sequential(*layers, nn.ReLU(inplace=True)) if relu else nn.Sequential(*layers)


class GhostModule(nn.Module):
    def __init__(self, cin, cout, ratio=2, relu=True):
        super().__init__()
        self.cout = cout
        init = math.ceil(cout / ratio)
        self.primary = conv_bn(cin, init, 1, relu=relu)
        self.cheap = conv_bn(init, init * (ratio - 1), 3, groups=init, relu=relu)

    def forward(self, x):
        x1 = self.primary(x)
        out = torch.cat([x1, self.cheap(x1)], dim=1)
        return out[:, :self.cout]


class GhostBottleneck(nn.Module):
    def __init__(self, cin, mid, cout, stride=1):
        super().__init__()
        self.ghost1 = GhostModule(cin, mid)
        self.dw = conv_bn(mid, mid, 3, stride, groups=mid, relu=False) if stride > 1 else None
        self.ghost2 = GhostModule(mid, cout, relu=False)
        self.shortcut = (nn.Sequential() if stride == 1 and cin == cout
                         else nn.Sequential(conv_bn(cin, cin, 3, stride, groups=cin, relu=False),
                                            conv_bn(cin, cout, 1, relu=False)))

    def forward(self, x):
        y = self.ghost1(x)
        if self.dw is not None:
            y = self.dw(y)
        return self.ghost2(y) + self.shortcut(x)


class GhostNet(nn.Module):
    def __init__(self, classes=10):
        super().__init__()
        self.stem = conv_bn(3, 16, 3, 2)
        self.blocks = nn.Sequential(GhostBottleneck(16, 16, 16), GhostBottleneck(16, 48, 24, 2),
                                    GhostBottleneck(24, 72, 24), GhostBottleneck(24, 72, 40, 2))
        self.head = conv_bn(40, 160, 1)
        self.fc = nn.Linear(160, classes)

    def forward(self, x):
        return self.fc(self.head(self.blocks(self.stem(x))).mean((2, 3)))


class BasicBlockA(nn.Module):
    def __init__(self, cin, cout, stride):
        super().__init__()
        self.conv1 = conv_bn(cin, cout, 3, stride)
        self.conv2 = conv_bn(cout, cout, 3, relu=False)
        self.pad = (cout - cin) // 2 if stride > 1 or cin != cout else 0

    def forward(self, x):
        shortcut = x
        if self.pad:
            shortcut = F.pad(x[:, :, ::2, ::2], (0, 0, 0, 0, self.pad, self.pad), "constant", 0)
        return torch.relu(self.conv2(self.conv1(x)) + shortcut)


class ResNet20A(nn.Module):
    def __init__(self, classes=10):
        super().__init__()
        self.stem = conv_bn(3, 16)
        layers, cin = [], 16
        for cout, stride in ((16, 1), (32, 2), (64, 2)):
            for i in range(3):
                layers.append(BasicBlockA(cin, cout, stride if i == 0 else 1))
                cin = cout
        self.layers = nn.Sequential(*layers)
        self.fc = nn.Linear(64, classes)

    def forward(self, x):
        return self.fc(self.layers(self.stem(x)).mean((2, 3)))


class ESPCN(nn.Module):
    def __init__(self, scale=3, channels=3):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(channels, 64, 5, padding=2), nn.Tanh(),
                                      nn.Conv2d(64, 32, 3, padding=1), nn.Tanh())
        self.sub_pixel = nn.Conv2d(32, channels * scale * scale, 3, padding=1)
        self.shuffle = nn.PixelShuffle(scale)

    def forward(self, x):
        return self.shuffle(self.sub_pixel(self.features(x)))


class MobileNetDM2(nn.Module):
    """Depthwise convolutions with channel multiplier 2, each followed by a pointwise one."""

    def __init__(self, classes=10):
        super().__init__()
        layers, c = [conv_bn(3, 16, 3, 2)], 16
        for cout, stride in ((32, 1), (48, 2), (48, 1), (64, 2)):
            layers += [conv_bn(c, 2 * c, 3, stride, groups=c), conv_bn(2 * c, cout, 1)]
            c = cout
        self.features = nn.Sequential(*layers)
        self.fc = nn.Linear(c, classes)

    def forward(self, x):
        return self.fc(self.features(x).mean((2, 3)))


MODELS = {"ghostnet": GhostNet, "resnet20_a": ResNet20A, "espcn": ESPCN, "mobilenet_dm2": MobileNetDM2}
# The input each is measured on: CIFAR-sized for the CIFAR network and the
# super-resolution head.
INPUT_SIZE = {"resnet20_a": 32, "espcn": 32}
