"""Figures drawn by code when the pages are built, from lumora's own results
and the benchmark figures kept in docs/benchmarks/:

    .. drawing:: rotation

       The caption.

draws the figure of that name (a function below) into the build directory as
SVG and places it like ``.. figure::``. A page is drawn again when this file
or a benchmark file changes.
"""

import re
import textwrap
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

DOCS = Path(__file__).resolve().parents[1]
OUT = DOCS / "_build" / "figures"
BLUE, ORANGE, GREEN, GREY, RED = "#1a5a96", "#d9822b", "#3a8a3a", "#999999", "#b03030"


def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The same bytes on every build: no date, a fixed id salt.
    plt.rcParams.update({"svg.hashsalt": "lumora", "font.size": 10, "axes.spines.top": False,
                         "axes.spines.right": False})  # fmt: skip
    return plt


def rotation(plt):
    """A quarter turn about +z: the axes before and after, the sense of the
    turn, and the rows of to_rotation_matrix as the turned axes."""
    from lumora import AngleRadians, Quat, Vec3d

    q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    fig = plt.figure(figsize=(9, 4))
    ax = fig.add_axes((0.0, 0.0, 0.5, 0.84), projection="3d")
    basis = {"i": Vec3d.i(), "j": Vec3d.j(), "k": Vec3d.k()}
    for name, v in basis.items():
        r = q.rotate(v)
        ax.quiver(0, 0, 0, v.x, v.y, v.z, color=GREY, arrow_length_ratio=0.12)
        ax.text(v.x * 1.12, v.y * 1.12, v.z * 1.12, name, color=GREY)
        if name != "k":
            ax.quiver(0, 0, 0, r.x, r.y, r.z, color=BLUE, arrow_length_ratio=0.12, linewidth=2)
            ax.text(r.x * 1.25, r.y * 1.25 + 0.08, r.z * 1.25, f"rotate({name})", color=BLUE)
    # The sense of the turn: counter-clockwise seen from +z (right-hand rule).
    import numpy as np

    t = np.linspace(0.15, np.pi / 2 - 0.15, 30)
    ax.plot(0.6 * np.cos(t), 0.6 * np.sin(t), 0 * t, color=ORANGE, linewidth=2)
    ax.quiver(0.6 * np.cos(t[-1]), 0.6 * np.sin(t[-1]), 0, -0.12, 0.02, 0, color=ORANGE, arrow_length_ratio=1)
    ax.set(xlim=(-1, 1), ylim=(-1, 1), zlim=(0, 1), xticks=[], yticks=[], zticks=[])
    ax.view_init(elev=28, azim=-60)
    ax.set_title("from_axis_angle(k, π/2): thumb along k,\nfingers curl from i towards j", fontsize=10)
    ax2 = fig.add_axes((0.52, 0.05, 0.48, 0.85))
    ax2.axis("off")
    rows = q.to_rotation_matrix()
    ax2.text(0.0, 0.9, "q.to_rotation_matrix(): row n is q.rotate(e_n)", fontsize=10, transform=ax2.transAxes)
    for n, (name, row) in enumerate(zip("ijk", rows)):
        cells = " ".join(f"{x + 0.0:6.2f}" for x in row)
        y = 0.68 - 0.14 * n
        ax2.text(0.0, y, f"[{cells} ]", family="monospace", transform=ax2.transAxes, color=BLUE if n < 2 else GREY)
        ax2.text(0.5, y, f"= q.rotate({name})", family="monospace", transform=ax2.transAxes)
    note = "so v @ M turns a row vector v as q.rotate(v) does;\nits transpose is the matrix for column vectors"
    ax2.text(0.0, 0.2, note, fontsize=10, transform=ax2.transAxes)
    return fig


def search(plt):
    """The strided search on points along a path and on scattered points:
    the coarse samples, the window around the best sample, the answer."""
    import math

    from lumora import Vec3d, VecList

    fig, axes = plt.subplots(1, 2, figsize=(9, 3.4), sharey=False)
    path = VecList([Vec3d(t / 40, math.sin(t / 40), 0) for t in range(200)])
    xs = (10, 10, 10, 5, 10, 10, 20, 1, 20, 20)
    scattered = VecList([Vec3d(x, 0, 0) for x in xs])
    cases = [(axes[0], path, Vec3d(2.5, 0.2, 0), 16, "points along a path, stride 16"),
             (axes[1], scattered, Vec3d.zero(), 3, "scattered points, stride 3")]  # fmt: skip
    for ax, points, target, stride, title in cases:
        d = points.distance_to(target)
        n = len(d)
        found, _ = points.minimum_distance_to(target, stride)
        exact, _ = points.minimum_distance_to(target, 1)
        samples = list(range(0, n, stride))
        best = min(samples, key=lambda i: (d[i], i))
        lo, hi = max(best - stride, 0), min(best + stride - 1, n - 1)
        ax.axvspan(lo - 0.5, hi + 0.5, color=ORANGE, alpha=0.18, label="window searched")
        ax.plot(range(n), d, ".", color=GREY, markersize=3 if n > 50 else 8, label="distance of each point")
        ax.plot(samples, [d[i] for i in samples], "o", color=BLUE, markersize=5, label="coarse samples")
        ax.plot([found], [d[found]], "*", color=GREEN, markersize=14, label=f"answer ({found})")
        if exact != found:
            ax.plot([exact], [d[exact]], "x", color=RED, markersize=10, mew=2, label=f"true nearest ({exact})")
        ax.set(title=title, xlabel="index", ylabel="distance to the query")
        ax.legend(fontsize=8, loc="upper right" if n > 50 else "upper left")
    fig.tight_layout()
    return fig


def pool(plt):
    """How a bulk call is split: below the grain on the calling thread, above
    it in chunks that any thread may take, with the same bits either way."""
    from matplotlib.patches import Rectangle

    fig, ax = plt.subplots(figsize=(9, 3))
    ax.axis("off")
    ax.set(xlim=(0, 100), ylim=(-6, 30))
    ax.text(0, 27, "rotate on 5,000 elements: weight 4 × 5,000 = 20,000 < 32,768, so the calling thread runs it")
    ax.add_patch(Rectangle((0, 20), 100 * 5_000 / 40_000, 5, color=GREY))
    ax.text(0, 15.5, "rotate on 40,000 elements: weight 160,000 ≥ 32,768, so the pool's threads take chunks")
    # An illustrative split: the chunks' bounds and owners vary from call to
    # call, the results do not.
    bounds, owners = [0, 14, 26, 41, 55, 63, 78, 90, 100], [0, 1, 1, 0, 1, 0, 0, 1]
    for (a, b), t in zip(zip(bounds, bounds[1:]), owners):
        ax.add_patch(Rectangle((a, 8), b - a - 0.4, 5, color=(BLUE, ORANGE)[t]))
    # The grain of rotate, 32,768 / 4 elements, on the same scale.
    grain = 100 * 8_192 / 40_000
    for low, high in ((19, 26), (7, 14)):
        ax.plot([grain, grain], [low, high], "--", color="black", linewidth=0.8)
    ax.text(grain + 0.6, 4.5, "the grain of rotate: 8,192 elements", fontsize=8)
    for x, colour, label in ((50, GREY, "calling thread"), (68, BLUE, "pool thread 1"), (84, ORANGE, "pool thread 2")):
        ax.add_patch(Rectangle((x, 21), 2, 2.5, color=colour))
        ax.text(x + 2.8, 21.3, label, fontsize=8)
    ax.text(0, -1, "Each element's result depends on that element alone, and the search combines the chunks' best")
    ax.text(0, -5, "in index order: the same bits with 1 thread or 64.")
    return fig


def table(name):
    """The rows of a benchmark table as kept in docs/benchmarks/NAME.txt."""
    return (DOCS / "benchmarks" / f"{name}.txt").read_text().splitlines()


def machine(name):
    return " ".join(line.lstrip("# ") for line in table(name) if line.startswith("#")).split(":", 1)[1].strip()


def performance(plt):
    """numpy's time over lumora's per bulk operation and size, and lumora's
    time per call against complex and numpy, from the kept tables."""
    import numpy as np

    bulk = {}
    for line in table("bulk"):
        m = re.match(r"^(\S.*?)\s+(\d+)\s+[\d.]+\s+[\d.]+\s+([\d.]+)x", line)
        if m:
            bulk.setdefault(m[1], {})[int(m[2])] = float(m[3])
    scalar = []
    for line in table("scalar"):
        m = re.match(r"^(\S.*?)\s+([\d.]+)\s+([\d.]+)\s+[\d.]+(?:\s+([\d.]+)\s+[\d.]+x)?$", line)
        if m:
            scalar.append((m[1], float(m[2]), float(m[3]), float(m[4]) if m[4] else None))
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 4.6), gridspec_kw={"width_ratios": [3, 2]})
    ops, sizes = list(bulk), sorted({n for r in bulk.values() for n in r})
    y = np.arange(len(ops))
    for k, (n, colour) in enumerate(zip(sizes, (GREY, ORANGE, BLUE))):
        # From 1 to the ratio: a bar to the left is an operation numpy does faster.
        ratios = [bulk[o][n] for o in ops]
        ax1.barh(y + (k - 1) * 0.27, [r - 1 for r in ratios], left=1, height=0.27, color=colour, label=f"n = {n:,}")
    ax1.axvline(1, color="black", linewidth=0.8)
    ax1.set(xscale="log", yticks=y, yticklabels=ops, xlabel="numpy time / lumora time (right of 1: lumora faster)")
    ax1.invert_yaxis()
    ax1.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=3, frameon=False)
    ax1.set_title("VecList against numpy on an (n, 3) array", fontsize=10)
    names = [s[0] for s in scalar]
    y2 = np.arange(len(names))
    ax2.barh(y2 - 0.2, [s[1] for s in scalar], height=0.4, color=BLUE, label="lumora")
    ax2.barh(y2 + 0.2, [s[2] for s in scalar], height=0.4, color=GREY, label="nearest complex call")
    ax2.plot([s[3] for s in scalar if s[3]], [i for i, s in enumerate(scalar) if s[3]], "|", color=ORANGE,
             markersize=9, mew=2, label="numpy, 3 elements")  # fmt: skip
    ax2.set(xscale="log", yticks=y2, yticklabels=names, xlabel="nanoseconds per call")
    ax2.invert_yaxis()
    ax2.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=2, frameon=False)
    ax2.set_title("one value at a time", fontsize=10)
    fig.text(0.01, 0.01, textwrap.fill(f"make bench on {machine('bulk')}", 150), fontsize=8, va="bottom")
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    return fig


def cloud(plt):
    """A corner of a scan before and after preparation: the points the
    statistical mask drops, and the down-sampled points with their normals
    turned toward the sensor."""
    import numpy as np

    from lumora import PointIndex, Vec3d
    from lumora.cloud import normals, statistical_inliers, voxel_down_sample

    rng = np.random.default_rng(4)
    k = 2500
    u = rng.uniform(0, 1, (3, k, 2))
    scan = np.concatenate([np.c_[u[0], np.zeros(k)], np.c_[np.zeros(k), u[1]],
                           np.c_[u[2][:, 0], np.zeros(k), u[2][:, 1]]])  # fmt: skip
    scan += rng.normal(0, 0.004, scan.shape)
    scan[:: 100] = rng.uniform(0, 1, (len(scan[:: 100]), 3))
    keep = np.array(statistical_inliers(PointIndex(scan), 20, 2.0))
    down = np.asarray(voxel_down_sample(scan[keep], 0.1))
    sensor = Vec3d(2, 2, 2)
    n = np.asarray(normals(PointIndex(down), 8, toward=sensor))
    fig = plt.figure(figsize=(9, 4.2))
    views = [fig.add_subplot(1, 2, i + 1, projection="3d") for i in range(2)]
    views[0].scatter(*scan[keep].T, s=0.5, color=GREY, alpha=0.5)
    views[0].scatter(*scan[~keep].T, s=6, color=RED, label=f"dropped: {np.count_nonzero(~keep)} points")
    views[0].set_title(f"{len(scan)} points, statistical_inliers(index, 20, 2.0)", fontsize=9)
    views[0].legend(fontsize=8, loc="upper left", frameon=False)
    views[1].scatter(*down.T, s=4, color=BLUE)
    views[1].quiver(*down.T, *(0.08 * n).T, color=ORANGE, linewidth=0.8)
    views[1].set_title(f"voxel_down_sample(kept, 0.1): {len(down)} points, normals", fontsize=9)
    for ax in views:
        ax.view_init(elev=25, azim=40)
        ax.set_axis_off()
    fig.tight_layout()
    return fig


DRAWINGS = {f.__name__: f for f in (rotation, search, pool, performance, cloud)}


class Drawing(SphinxDirective):
    required_arguments = 1
    has_content = True

    def run(self):
        name = self.arguments[0]
        self.env.note_dependency(__file__)
        for data in (DOCS / "benchmarks").glob("*.txt"):
            self.env.note_dependency(str(data))
        plt = pyplot()
        fig = DRAWINGS[name](plt)
        OUT.mkdir(parents=True, exist_ok=True)
        fig.savefig(OUT / f"{name}.svg", metadata={"Date": None})
        plt.close(fig)
        # The caption's first sentence stands for the picture where it is not shown.
        alt = " ".join(self.content).split(". ")[0]
        lines = [f".. figure:: /_build/figures/{name}.svg", f"   :alt: {alt}", ""]
        lines += ["   " + line for line in self.content]
        container = nodes.container()
        nested_parse_with_titles(self.state, StringList(lines, source=f"drawing {name}"), container)
        return container.children


def setup(app):
    app.add_directive("drawing", Drawing)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
