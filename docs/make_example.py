#!/usr/bin/python3
"""Makes the README's before-and-after picture and its PSNR table.

    /usr/bin/python3 docs/make_example.py BUILD_DIR

Takes a public-domain test photograph that Debian's python3-skimage package ships (the
astronaut portrait, 512 x 512 RGB), adds Gaussian noise with a fixed seed at two strengths,
and denoises the whole photograph with BUILD_DIR/bin/dunmorel at the filter's defaults. It
writes docs/denoise-example.png (a crop of the noisy photograph beside the same crop of the
result, at the stronger noise) and prints, as Markdown, the PSNR of the noisy and the
denoised photograph against the clean one, followed by the calibration report of each run.

It runs with Debian's /usr/bin/python3 (numpy, PIL and skimage come from Debian packages).
The output is the same on every run: the noise comes from a fixed seed and the filter is
deterministic.
"""

import pathlib
import subprocess
import sys
import tempfile

import numpy as np
import skimage.data
from PIL import Image, ImageDraw

SIGMAS = (8, 16)          # standard deviations of the added noise, in 8-bit levels
PICTURE_SIGMA = 16
SEED = 20261209
CROP = (0, 120, 256)      # top row, left column and side of the square shown
MAX_PNG_BYTES = 300 * 1024

OUTPUT = pathlib.Path(__file__).resolve().parent / "denoise-example.png"


def add_noise(clean, sigma):
    rng = np.random.default_rng([SEED, sigma])
    noisy = clean.astype(np.float64) + rng.normal(0.0, sigma, clean.shape)
    return np.clip(np.rint(noisy), 0, 255).astype(np.uint8)


def psnr(picture, clean):
    mse = np.mean((picture.astype(np.float64) - clean.astype(np.float64)) ** 2)
    return 10.0 * np.log10(255.0 ** 2 / mse)


class Command:
    """The dunmorel command run on one raw RGB24 picture (bytes B, G, R; rows top to bottom)."""

    def __init__(self, build_dir, work_dir):
        self.program = pathlib.Path(build_dir) / "bin" / "dunmorel"
        if not self.program.is_file():
            sys.exit(f"make_example: {self.program} not found; build the dunmorel_cli target first")
        self.source = pathlib.Path(work_dir) / "in.rgb"
        self.result = pathlib.Path(work_dir) / "out.rgb"

    def _run(self, picture, arguments):
        height, width, _ = picture.shape
        picture[:, :, ::-1].tofile(self.source)
        return subprocess.run(
            [str(self.program), "--format", "rgb24", "--size", f"{width}x{height}", "-q",
             "-i", str(self.source), "-o", str(self.result), *arguments],
            capture_output=True, text=True, check=False)

    def denoise(self, picture):
        done = self._run(picture, [])
        if done.returncode != 0:
            sys.exit(f"make_example: dunmorel failed: {done.stderr.strip()}")
        return np.fromfile(self.result, np.uint8).reshape(picture.shape)[:, :, ::-1]

    def report(self, picture):
        # With print=true the filter delivers no frame; its report is the error line.
        done = self._run(picture, ["print=true"])
        if done.returncode != 1 or not done.stderr.startswith("window lx = "):
            sys.exit(f"make_example: no calibration report: {done.stderr.strip()}")
        return done.stderr.rstrip("\n")


def panel(picture, caption):
    top, left, side = CROP
    crop = Image.fromarray(np.ascontiguousarray(picture[top:top + side, left:left + side]))
    framed = Image.new("RGB", (side, side + 16), "white")
    framed.paste(crop, (0, 16))
    ImageDraw.Draw(framed).text((4, 2), caption, fill="black")
    return framed


def side_by_side(left, right, gap=8):
    size = (left.width + gap + right.width, max(left.height, right.height))
    both = Image.new("RGB", size, "white")
    both.paste(left, (0, 0))
    both.paste(right, (left.width + gap, 0))
    return both


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: /usr/bin/python3 docs/make_example.py BUILD_DIR")
    clean = skimage.data.astronaut()
    rows, reports = [], []
    with tempfile.TemporaryDirectory() as work:
        command = Command(sys.argv[1], work)
        for sigma in SIGMAS:
            noisy = add_noise(clean, sigma)
            denoised = command.denoise(noisy)
            before, after = psnr(noisy, clean), psnr(denoised, clean)
            gain = after - before
            rows.append(f"| {sigma} | {before:.2f} dB | {after:.2f} dB | {gain:+.2f} dB |")
            reports.append(f"sigma {sigma}: {command.report(noisy)}")
            if sigma == PICTURE_SIGMA:
                picture = side_by_side(
                    panel(noisy, f"noise sigma {sigma}: PSNR {before:.1f} dB"),
                    panel(denoised, f"Dunmorel(): PSNR {after:.1f} dB"))
    picture.save(OUTPUT, optimize=True)
    size = OUTPUT.stat().st_size
    if size > MAX_PNG_BYTES:
        sys.exit(f"make_example: {OUTPUT} is {size} bytes, more than {MAX_PNG_BYTES}")

    print(f"{OUTPUT} ({size} bytes)\n")
    print("| Noise sigma | PSNR noisy | PSNR denoised | Gain |")
    print("|---|---|---|---|")
    print("\n".join(rows))
    print()
    print("\n".join(reports))


if __name__ == "__main__":
    main()
