"""Reference image classifiers in plain torch.nn: ResNet-18/50 with the usual module layout and
attribute names (so their state dicts load unchanged), and a small MobileNet-V2-style network
with inverted residual blocks and depthwise convolutions."""

from __future__ import annotations

from typing import Iterable, Sequence

import torch
from torch import nn


def _conv3x3(c_in: int, c_out: int, stride: int = 1) -> nn.Conv2d:
    return nn.Conv2d(c_in, c_out, 3, stride=stride, padding=1, bias=False)


def _conv1x1(c_in: int, c_out: int, stride: int = 1) -> nn.Conv2d:
    return nn.Conv2d(c_in, c_out, 1, stride=stride, bias=False)


class BasicBlock(nn.Module):
    expansion = 1

    def __init__(self, c_in: int, planes: int, stride: int = 1, downsample: nn.Module | None = None):
        super().__init__()
        self.conv1 = _conv3x3(c_in, planes, stride)
        self.bn1 = nn.BatchNorm2d(planes)
        self.relu = nn.ReLU(inplace=True)
        self.conv2 = _conv3x3(planes, planes)
        self.bn2 = nn.BatchNorm2d(planes)
        self.downsample = downsample
        self.stride = stride

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        identity = x
        out = self.relu(self.bn1(self.conv1(x)))
        out = self.bn2(self.conv2(out))
        if self.downsample is not None:
            identity = self.downsample(x)
        out += identity
        return self.relu(out)


class Bottleneck(nn.Module):
    """1x1 reduce, 3x3 (carrying the stride), 1x1 expand by four."""

    expansion = 4

    def __init__(self, c_in: int, planes: int, stride: int = 1, downsample: nn.Module | None = None):
        super().__init__()
        self.conv1 = _conv1x1(c_in, planes)
        self.bn1 = nn.BatchNorm2d(planes)
        self.conv2 = _conv3x3(planes, planes, stride)
        self.bn2 = nn.BatchNorm2d(planes)
        self.conv3 = _conv1x1(planes, planes * self.expansion)
        self.bn3 = nn.BatchNorm2d(planes * self.expansion)
        self.relu = nn.ReLU(inplace=True)
        self.downsample = downsample
        self.stride = stride

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        identity = x
        out = self.relu(self.bn1(self.conv1(x)))
        out = self.relu(self.bn2(self.conv2(out)))
        out = self.bn3(self.conv3(out))
        if self.downsample is not None:
            identity = self.downsample(x)
        out += identity
        return self.relu(out)


class ResNet(nn.Module):
    def __init__(self, block: type, layers: Sequence[int], num_classes: int = 1000):
        super().__init__()
        self.inplanes = 64
        self.conv1 = nn.Conv2d(3, 64, 7, stride=2, padding=3, bias=False)
        self.bn1 = nn.BatchNorm2d(64)
        self.relu = nn.ReLU(inplace=True)
        self.maxpool = nn.MaxPool2d(3, stride=2, padding=1)
        self.layer1 = self._make_layer(block, 64, layers[0])
        self.layer2 = self._make_layer(block, 128, layers[1], stride=2)
        self.layer3 = self._make_layer(block, 256, layers[2], stride=2)
        self.layer4 = self._make_layer(block, 512, layers[3], stride=2)
        self.avgpool = nn.AdaptiveAvgPool2d((1, 1))
        self.fc = nn.Linear(512 * block.expansion, num_classes)
        for m in self.modules():
            if isinstance(m, nn.Conv2d):
                nn.init.kaiming_normal_(m.weight, mode="fan_out", nonlinearity="relu")
            elif isinstance(m, nn.BatchNorm2d):
                nn.init.ones_(m.weight)
                nn.init.zeros_(m.bias)

    def _make_layer(self, block: type, planes: int, blocks: int, stride: int = 1) -> nn.Sequential:
        downsample = None
        if stride != 1 or self.inplanes != planes * block.expansion:
            downsample = nn.Sequential(
                _conv1x1(self.inplanes, planes * block.expansion, stride),
                nn.BatchNorm2d(planes * block.expansion),
            )
        layers = [block(self.inplanes, planes, stride, downsample)]
        self.inplanes = planes * block.expansion
        layers += [block(self.inplanes, planes) for _ in range(1, blocks)]
        return nn.Sequential(*layers)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.maxpool(self.relu(self.bn1(self.conv1(x))))
        x = self.layer4(self.layer3(self.layer2(self.layer1(x))))
        x = torch.flatten(self.avgpool(x), 1)
        return self.fc(x)


def resnet18(num_classes: int = 1000) -> ResNet:
    return ResNet(BasicBlock, [2, 2, 2, 2], num_classes)


def resnet50(num_classes: int = 1000) -> ResNet:
    return ResNet(Bottleneck, [3, 4, 6, 3], num_classes)


def _conv_bn_relu6(c_in: int, c_out: int, kernel: int, stride: int = 1, groups: int = 1) -> nn.Sequential:
    return nn.Sequential(
        nn.Conv2d(c_in, c_out, kernel, stride=stride, padding=kernel // 2, groups=groups, bias=False),
        nn.BatchNorm2d(c_out),
        nn.ReLU6(inplace=True),
    )


class InvertedResidual(nn.Module):
    """1x1 expand + ReLU6, 3x3 depthwise + ReLU6, 1x1 linear projection; the input is added back
    when the block keeps its shape."""

    def __init__(self, c_in: int, c_out: int, stride: int, expand_ratio: int):
        super().__init__()
        hidden = c_in * expand_ratio
        self.use_residual = stride == 1 and c_in == c_out
        layers: list[nn.Module] = []
        if expand_ratio != 1:
            layers.append(_conv_bn_relu6(c_in, hidden, 1))
        layers += [
            _conv_bn_relu6(hidden, hidden, 3, stride=stride, groups=hidden),
            nn.Conv2d(hidden, c_out, 1, bias=False),
            nn.BatchNorm2d(c_out),
        ]
        self.conv = nn.Sequential(*layers)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if self.use_residual:
            return x + self.conv(x)
        return self.conv(x)


# (expand ratio, output channels at width 1, repeats, first stride) of each stage.
_MOBILE_STAGES = ((1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 2, 2), (6, 64, 2, 2), (6, 96, 1, 1))


class MobileNetStyle(nn.Module):
    def __init__(self, num_classes: int = 10, width: float = 0.5, last_channels: int = 256,
                 stages: Iterable[tuple[int, int, int, int]] = _MOBILE_STAGES):
        super().__init__()

        def scaled(c: int) -> int:
            return max(8, int(c * width + 4) // 8 * 8)

        c_in = scaled(32)
        features: list[nn.Module] = [_conv_bn_relu6(3, c_in, 3, stride=2)]
        for expand, c, repeats, stride in stages:
            c_out = scaled(c)
            for k in range(repeats):
                features.append(InvertedResidual(c_in, c_out, stride if k == 0 else 1, expand))
                c_in = c_out
        features.append(_conv_bn_relu6(c_in, last_channels, 1))
        self.features = nn.Sequential(*features)
        self.avgpool = nn.AdaptiveAvgPool2d(1)
        self.classifier = nn.Sequential(nn.Dropout(0.2), nn.Linear(last_channels, num_classes))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = torch.flatten(self.avgpool(self.features(x)), 1)
        return self.classifier(x)


def mobilenet_style(num_classes: int = 10, width: float = 0.5, last_channels: int = 256) -> MobileNetStyle:
    """A MobileNet-V2-like classifier, small enough for quick tests at width 0.5."""
    return MobileNetStyle(num_classes, width, last_channels)


@torch.no_grad()
def set_batchnorm_statistics(model: nn.Module, inputs: torch.Tensor, seed: int = 0) -> nn.Module:
    """Give every BatchNorm2d statistics measured on `inputs` and a random affine part, so a
    randomly initialised network has normalised, non-trivial activations in eval mode."""
    generator = torch.Generator().manual_seed(seed)
    norms = [m for m in model.modules() if isinstance(m, nn.BatchNorm2d)]
    saved = [(m.momentum, m.training) for m in norms]
    for m in norms:
        m.reset_running_stats()
        m.momentum = None  # cumulative average: one pass gives the batch statistics
    model.train()
    model(inputs)
    model.eval()
    for m, (momentum, _) in zip(norms, saved):
        m.momentum = momentum
        m.weight.copy_(0.5 + torch.rand(m.num_features, generator=generator))
        m.bias.copy_(0.2 * torch.randn(m.num_features, generator=generator))
    return model
