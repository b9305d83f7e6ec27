"""Train the digit classifier bundled with the package and export it in float32 and int8.

    python examples/train_digits.py [OUT_DIR]    (default: python/trevalon/models)

Needs torch and scikit-learn, whose digits data set ships with the package (1797 images of
handwritten digits, 8x8 pixels, grey levels 0..16; nothing is downloaded). A fixed seed sets
aside HELD_OUT images that training never sees; they are bundled as digits_test.npz for
`trevalon demo`. The int8 version is calibrated on the training images only.

Writes digits_fp32.{json,w1x1}, digits_int8.{json,w1x1} and digits_test.npz to OUT_DIR.
"""

import os
import sys

import numpy as np
import torch
from torch import nn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from trevalon.demo import preprocess  # noqa: E402
from trevalon.export import export_model  # noqa: E402

SEED = 20240917
HELD_OUT = 360
EPOCHS = 60
BATCH = 64


class DigitNet(nn.Module):
    """8x8x1 -> 3x3 conv 16 -> 3x3 conv 32 -> 2x2 max pool -> 3x3 conv 64 -> global average
    pool -> 10 logits; batch norm after each convolution (folded away by the exporter)."""

    def __init__(self):
        super().__init__()

        def block(c_in, c_out):
            return [nn.Conv2d(c_in, c_out, 3, padding=1, bias=False), nn.BatchNorm2d(c_out),
                    nn.ReLU(inplace=True)]

        self.features = nn.Sequential(*block(1, 16), *block(16, 32), nn.MaxPool2d(2),
                                      *block(32, 64))
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(64, 10)

    def forward(self, x):
        return self.fc(torch.flatten(self.pool(self.features(x)), 1))


def split(count: int) -> tuple[np.ndarray, np.ndarray]:
    """Indices of the training and held-out images (a fixed random choice)."""
    order = np.random.default_rng(SEED).permutation(count)
    return np.sort(order[HELD_OUT:]), np.sort(order[:HELD_OUT])


def to_nchw(images: np.ndarray) -> torch.Tensor:
    """Grey levels (N, 8, 8) to the network's input (N, 1, 8, 8), as the demo prepares them."""
    return torch.from_numpy(preprocess(images)).permute(0, 3, 1, 2).contiguous()


def shifted(batch: torch.Tensor, generator: torch.Generator) -> torch.Tensor:
    """Each image moved by up to one pixel in each direction (zero fill): cheap augmentation."""
    out = torch.zeros_like(batch)
    dy, dx = torch.randint(-1, 2, (2,), generator=generator).tolist()
    src = batch[..., max(0, -dy):8 - max(0, dy), max(0, -dx):8 - max(0, dx)]
    out[..., max(0, dy):8 - max(0, -dy), max(0, dx):8 - max(0, -dx)] = src
    return out


def train(images: torch.Tensor, labels: torch.Tensor) -> DigitNet:
    torch.manual_seed(SEED)
    generator = torch.Generator().manual_seed(SEED)
    net = DigitNet()
    optimiser = torch.optim.AdamW(net.parameters(), lr=3e-3, weight_decay=1e-4)
    steps = EPOCHS * ((len(labels) + BATCH - 1) // BATCH)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimiser, max_lr=1e-2, total_steps=steps)
    loss_fn = nn.CrossEntropyLoss()
    net.train()
    for epoch in range(EPOCHS):
        order = torch.randperm(len(labels), generator=generator)
        total = 0.0
        for start in range(0, len(labels), BATCH):
            idx = order[start:start + BATCH]
            loss = loss_fn(net(shifted(images[idx], generator)), labels[idx])
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            schedule.step()
            total += loss.item() * len(idx)
        if epoch % 10 == 9 or epoch == EPOCHS - 1:
            print(f"epoch {epoch + 1}: training loss {total / len(labels):.4f}")
    return net.eval()


def engine_accuracy(arch: str, weights: str, images: np.ndarray, labels: np.ndarray):
    """Accuracy of an exported model run by the engine, or None when it is not built."""
    try:
        from trevalon.demo import evaluate
        from trevalon.runner import load_model
        model = load_model(arch, weights)
    except Exception as e:  # the engine is optional here: training works without it
        print(f"(not run on the engine: {e})")
        return None
    return float(np.mean(evaluate(model, images).predictions == labels))


def main(out_dir: str) -> None:
    from sklearn.datasets import load_digits

    torch.set_num_threads(1)
    torch.use_deterministic_algorithms(True)
    digits = load_digits()
    images = digits.images.astype(np.uint8)  # grey levels 0..16
    labels = digits.target.astype(np.int64)
    train_idx, test_idx = split(len(labels))
    net = train(to_nchw(images[train_idx]), torch.from_numpy(labels[train_idx]))

    with torch.no_grad():
        predicted = net(to_nchw(images[test_idx])).argmax(1).numpy()
    print(f"torch float32 accuracy on {HELD_OUT} held-out images: "
          f"{np.mean(predicted == labels[test_idx]):.4f}")

    os.makedirs(out_dir, exist_ok=True)
    example = to_nchw(images[train_idx[:1]])
    calibration = to_nchw(images[train_idx])
    for suffix, quantize in (("fp32", False), ("int8", True)):
        arch = os.path.join(out_dir, f"digits_{suffix}.json")
        weights = os.path.join(out_dir, f"digits_{suffix}.w1x1")
        export_model(net, example, arch, weights, name=f"digits_{suffix}", quantize=quantize,
                     calibration_data=calibration if quantize else None)
        accuracy = engine_accuracy(arch, weights, images[test_idx], labels[test_idx])
        if accuracy is not None:
            print(f"engine {suffix} accuracy on the held-out images: {accuracy:.4f}")
    np.savez_compressed(os.path.join(out_dir, "digits_test.npz"), images=images[test_idx],
                        labels=labels[test_idx].astype(np.uint8),
                        index=test_idx.astype(np.uint16))
    print(f"wrote the models and {HELD_OUT} held-out images to {out_dir}")


if __name__ == "__main__":
    default = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                            "python", "trevalon", "models"))
    main(sys.argv[1] if len(sys.argv) > 1 else default)
