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
# Figures are drawn as wide as the page's text column, with text of the
# body's size there: at 7 inches and 12 points, one point of the figure is
# about one pixel of the page's 16-pixel text.
WIDTH, FONT = 7.0, 12


def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The same bytes on every build: no date, a fixed id salt.
    plt.rcParams.update({"svg.hashsalt": "lumora", "font.size": FONT, "axes.titlesize": FONT,
                         "axes.spines.top": False, "axes.spines.right": False})  # fmt: skip
    return plt


def rotation(plt):
    """A quarter turn about +z: the axes before and after, the sense of the
    turn, and the rows of to_rotation_matrix as the turned axes."""
    import numpy as np

    from lumora import AngleRadians, Quat, Vec3d

    q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    fig = plt.figure(figsize=(WIDTH, 4.2))
    ax = fig.add_axes((-0.02, -0.02, 0.49, 0.84), projection="3d")
    basis = {"i": Vec3d.i(), "j": Vec3d.j(), "k": Vec3d.k()}
    for name, v in basis.items():
        r = q.rotate(v)
        ax.quiver(0, 0, 0, v.x, v.y, v.z, color=GREY, arrow_length_ratio=0.12)
        ax.text(v.x * 1.12, v.y * 1.12, v.z * 1.12, name, color=GREY)
        if name != "k":
            ax.quiver(0, 0, 0, r.x, r.y, r.z, color=BLUE, arrow_length_ratio=0.12, linewidth=2)
            ax.text(r.x * 1.25, r.y * 1.25 + 0.08, r.z * 1.25, f"rotate({name})", color=BLUE)
    # The sense of the turn: counter-clockwise seen from +z (right-hand rule).
    t = np.linspace(0.15, np.pi / 2 - 0.15, 30)
    ax.plot(0.6 * np.cos(t), 0.6 * np.sin(t), 0 * t, color=ORANGE, linewidth=2)
    ax.quiver(0.6 * np.cos(t[-1]), 0.6 * np.sin(t[-1]), 0, -0.12, 0.02, 0, color=ORANGE, arrow_length_ratio=1)
    ax.set(xlim=(-1, 1), ylim=(-1, 1), zlim=(0, 1), xticks=[], yticks=[], zticks=[])
    ax.view_init(elev=28, azim=-60)
    fig.text(0.01, 0.98, "from_axis_angle(k, π/2):\nthumb along k, fingers\ncurl from i towards j", va="top")
    rows = q.to_rotation_matrix()
    fig.text(0.46, 0.98, "q.to_rotation_matrix():\nrow n is q.rotate(e_n)", va="top")
    for n, (name, row) in enumerate(zip("ijk", rows)):
        cells = " ".join(f"{x + 0.0:5.2f}" for x in row)
        fig.text(0.46, 0.7 - 0.1 * n, f"[{cells}]", family="monospace", color=BLUE if n < 2 else GREY)
        fig.text(0.76, 0.7 - 0.1 * n, f"= q.rotate({name})", family="monospace")
    note = "so v @ M turns a row vector v as q.rotate(v) does; its transpose is the matrix for column vectors"
    fig.text(0.46, 0.36, textwrap.fill(note, 38), va="top")
    return fig


def rigid(plt):
    """A scan, a moved and noisy second view of it, and the first moved onto
    the second by the motion align fits to the pairs."""
    import numpy as np

    from lumora import AngleRadians, Quat, RigidTransform, Vec3d, VecList

    rng = np.random.default_rng(3)
    # The outline of a room's corner with a pillar, seen from above.
    t = rng.uniform(0, 1, 400)
    walls = np.concatenate([np.stack([2 * t[:150], 0 * t[:150]], 1), np.stack([0 * t[150:300], 1.5 * t[150:300]], 1)])
    angle = rng.uniform(0, 2 * np.pi, 100)
    pillar = np.stack([1.2 + 0.15 * np.cos(angle), 0.8 + 0.15 * np.sin(angle)], 1)
    flat = np.concatenate([walls, pillar])
    scan = np.column_stack([flat, np.zeros(len(flat))])
    truth = RigidTransform(Quat.from_axis_angle(Vec3d.k(), AngleRadians(np.radians(20))), Vec3d(0.6, 0.3, 0))
    view = VecList.from_buffer(scan)
    view.transform(truth)
    other = np.asarray(view) + np.column_stack([rng.normal(0, 0.01, (len(scan), 2)), np.zeros(len(scan))])
    fit, rms = RigidTransform.align(scan, other)
    moved = VecList.from_buffer(scan)
    moved.transform(fit)
    fitted = np.asarray(moved)
    fig, ax = plt.subplots(figsize=(WIDTH, 4.6), layout="constrained")
    ax.scatter(scan[:, 0], scan[:, 1], s=4, color=GREY, label="scan")
    ax.scatter(other[:, 0], other[:, 1], s=4, color=ORANGE, label="second view")
    ax.scatter(fitted[:, 0], fitted[:, 1], s=1.5, color=BLUE, label="scan moved by the fit")
    turned = np.degrees(2 * np.arccos(min(1.0, abs(fit.rotation.w))))
    ax.set_title(f"align: {turned:.2f}° and ({fit.translation.x:.3f}, {fit.translation.y:.3f}), RMS {rms:.4f}")
    ax.set_aspect("equal")
    ax.legend(loc="lower right", frameon=False, markerscale=3, fontsize=FONT - 1)
    return fig


def registration(plt):
    """Two scans of a corner with a ball, before and after icp."""
    import numpy as np

    from lumora import AngleRadians, PointIndex, Quat, RigidTransform, Vec3d, VecList
    from lumora.cloud import icp, normals, voxel_down_sample

    rng = np.random.default_rng(5)

    def scan(n):
        u = rng.uniform(0, 1, (n, 2))
        k = n // 4
        d = rng.normal(size=(n - 3 * k, 3))
        parts = [np.c_[u[:k], np.zeros(k)], np.c_[np.zeros(k), u[k:2 * k]],
                 np.c_[u[2 * k:3 * k, 0], np.zeros(k), u[2 * k:3 * k, 1]],
                 0.15 * d / np.linalg.norm(d, axis=1)[:, None] + [0.5, 0.5, 0.3]]  # fmt: skip
        return np.concatenate(parts) + rng.normal(0, 0.002, (n, 3))

    target = scan(8000)
    view = RigidTransform(Quat.from_axis_angle(Vec3d(0.3, 0.4, 1).normalize(), AngleRadians(np.radians(10))),
                          Vec3d(0.05, -0.04, 0.05))  # fmt: skip
    source = VecList.from_buffer(scan(6000))
    source.transform(view.inverse())
    index = PointIndex(voxel_down_sample(target, 0.03))
    found = icp(voxel_down_sample(source, 0.03), index, 0.15, target_normals=normals(index, 20))
    before = np.array(source)  # a copy: a view would hold the list still
    source.transform(found.transform)
    after = np.asarray(source)
    fig, axes = plt.subplots(1, 2, figsize=(WIDTH, 4.2), layout="constrained")
    # A slice through the ball's centre, seen from above: the two walls are
    # lines, the ball a ring.
    def level(p):
        return p[np.abs(p[:, 2] - 0.3) < 0.02]

    cut = level(target)
    for ax, (points, title) in zip(axes, [(before, "as scanned"),
                                          (after, f"after icp: {found.iterations} iterations,\nRMS {found.rmse:.4f}")]):
        moved = level(points)
        ax.scatter(cut[:, 0], cut[:, 1], s=3, color=GREY, label="target")
        ax.scatter(moved[:, 0], moved[:, 1], s=3, color=ORANGE, label="source")
        ax.set(title=title, aspect="equal", xticks=[0, 0.5, 1], yticks=[0, 0.5, 1])
    axes[0].legend(fontsize=FONT - 1, frameon=False, markerscale=3, loc="upper right")
    return fig


def search(plt):
    """The strided search on points along a path and on scattered points:
    the coarse samples, the window around the best sample, the answer."""
    import math

    from matplotlib.ticker import MaxNLocator

    from lumora import Vec3d, VecList

    fig, axes = plt.subplots(1, 2, figsize=(WIDTH, 4.2), layout="constrained")
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
        ax.plot(range(n), d, ".", color=GREY, markersize=3 if n > 50 else 8, label="each point")
        ax.plot(samples, [d[i] for i in samples], "o", color=BLUE, markersize=5, label="coarse samples")
        ax.plot([found], [d[found]], "*", color=GREEN, markersize=14, label="search's answer")
        if exact != found:
            ax.plot([exact], [d[exact]], "x", color=RED, markersize=10, mew=2, label="true nearest point")
        ax.set(title=title, xlabel="index", ylabel="distance to the query")
        ax.xaxis.set_major_locator(MaxNLocator(5, integer=True))
    # Below the plots, where it covers no sample.
    fig.legend(*axes[1].get_legend_handles_labels(), loc="outside lower center", ncol=3, frameon=False, columnspacing=1)
    return fig


def pool(plt):
    """How a bulk call is split: below the grain on the calling thread, above
    it in chunks that any thread may take, with the same bits either way."""
    from matplotlib.patches import Patch, Rectangle

    fig = plt.figure(figsize=(WIDTH, 3.5))
    ax = fig.add_axes((0.01, 0, 0.98, 1))
    ax.axis("off")
    ax.set(xlim=(0, 100), ylim=(-8, 40))
    ax.text(0, 39, "rotate on 5,000 elements: weight 4 × 5,000 = 20,000 < 32,768,\nso the calling thread runs it",
            va="top")  # fmt: skip
    ax.add_patch(Rectangle((0, 26), 100 * 5_000 / 40_000, 5, color=GREY))
    ax.text(0, 23, "rotate on 40,000 elements: weight 160,000 ≥ 32,768,\nso the pool's threads take chunks", va="top")
    # An illustrative split: the chunks' bounds and owners vary from call to
    # call, the results do not.
    bounds, owners = [0, 14, 26, 41, 55, 63, 78, 90, 100], [0, 1, 1, 0, 1, 0, 0, 1]
    for (a, b), t in zip(zip(bounds, bounds[1:]), owners):
        ax.add_patch(Rectangle((a, 10), b - a - 0.4, 5, color=(BLUE, ORANGE)[t]))
    # The grain of rotate, 32,768 / 4 elements, on the same scale: the short
    # call ends before it; under the chunks, as a length, not a cut.
    grain = 100 * 8_192 / 40_000
    ax.plot([grain, grain], [25, 32], "--", color="black", linewidth=0.8)
    ax.annotate("", xy=(grain, 7.5), xytext=(0, 7.5), arrowprops={"arrowstyle": "<->", "linewidth": 0.8})
    ax.text(grain + 0.8, 7.5, "the grain of rotate: 8,192 elements", va="center", fontsize=FONT - 1)
    threads = [Patch(color=c, label=t) for c, t in ((GREY, "calling thread"), (BLUE, "pool thread 1"),
                                                     (ORANGE, "pool thread 2"))]  # fmt: skip
    ax.legend(handles=threads, loc="center right", bbox_to_anchor=(100, 28.5), bbox_transform=ax.transData, ncol=3,
              frameon=False, fontsize=FONT - 1, columnspacing=1, handlelength=1)  # fmt: skip
    note = ("Each element's result depends on that element alone, and a reduction (a sum, a search's minimum) "
            "combines the chunks' results in index order: the same bits with 1 thread or 64.")  # fmt: skip
    ax.text(0, 4, textwrap.fill(note, 72), va="top")
    return fig


def table(name):
    """The rows of a benchmark table as kept in docs/benchmarks/NAME.txt."""
    return (DOCS / "benchmarks" / f"{name}.txt").read_text().splitlines()


def machine(name):
    return " ".join(line.lstrip("# ") for line in table(name) if line.startswith("#")).split(":", 1)[1].strip()


def bulk_ratios():
    """{operation: {n: numpy time / lumora time}} from the kept bulk table."""
    bulk = {}
    for line in table("bulk"):
        m = re.match(r"^(\S.*?)\s+(\d+)\s+[\d.]+\s+[\d.]+\s+([\d.]+)x", line)
        if m:
            bulk.setdefault(m[1], {})[int(m[2])] = float(m[3])
    return bulk


def footnote(fig, name):
    fig.text(0.01, 0.005, textwrap.fill(f"make bench on {machine(name)}", 80), fontsize=FONT - 1, va="bottom")


def performance(plt):
    """numpy's time over lumora's per bulk operation and size, from the kept
    table: a marker at every ratio (1.0 included) on a line from 1."""
    import numpy as np

    bulk = bulk_ratios()
    ops, sizes = list(bulk), sorted({n for r in bulk.values() for n in r})
    fig, ax = plt.subplots(figsize=(WIDTH, 0.42 * len(ops) + 2.2))
    y = np.arange(len(ops))
    for k, (n, colour, marker) in enumerate(zip(sizes, (GREY, ORANGE, BLUE), "o^s")):
        ratios = [bulk[o][n] for o in ops]
        at = y + (k - 1) * 0.26
        ax.hlines(at, 1, ratios, color=colour, linewidth=2)
        ax.plot(ratios, at, marker, color=colour, markersize=6, label=f"n = {n:,}")
    ax.axvline(1, color="black", linewidth=1)
    ax.set_xscale("log")
    ax.set_yticks(y, ops)
    ax.set_xlabel("numpy time / lumora time (right of 1: lumora faster)")
    ax.invert_yaxis()
    ax.grid(axis="x", which="major", color="#dddddd", linewidth=0.8)
    ax.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=3, frameon=False)
    footnote(fig, "bulk")
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    return fig


def calls(plt):
    """lumora's time per call on one value against the nearest call on a
    built-in complex and numpy on a 3-element array."""
    import numpy as np

    scalar = []
    for line in table("scalar"):
        m = re.match(r"^(\S.*?)\s+([\d.]+)\s+([\d.]+)\s+[\d.]+(?:\s+([\d.]+)\s+[\d.]+x)?$", line)
        if m:
            scalar.append((m[1], float(m[2]), float(m[3]), float(m[4]) if m[4] else None))
    fig, ax = plt.subplots(figsize=(WIDTH, 0.42 * len(scalar) + 2.2))
    names = [s[0] for s in scalar]
    y = np.arange(len(names))
    bars = ax.barh(y - 0.2, [s[1] for s in scalar], height=0.4, color=BLUE, label="lumora")
    floor = ax.barh(y + 0.2, [s[2] for s in scalar], height=0.4, color=GREY, label="nearest complex call")
    (numpy,) = ax.plot([s[3] for s in scalar if s[3]], [i for i, s in enumerate(scalar) if s[3]], "D", color=ORANGE,
                       markersize=7, label="numpy, 3 elements")  # fmt: skip
    ax.set_xscale("log")
    ax.set_yticks(y, names)
    ax.set_xlabel("nanoseconds per call")
    ax.invert_yaxis()
    ax.legend(handles=[bars, floor, numpy], loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, frameon=False,
              handletextpad=0.4, columnspacing=1.0)  # fmt: skip
    footnote(fig, "scalar")
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    return fig


def index(plt):
    """Time per query against the size of the cloud: the index and cKDTree
    for k = 1 and k = 8, and a full scan of every point."""
    import ast

    # The batch sizes are the benchmark's own constants.
    source = ast.parse((DOCS.parent / "bench" / "bench_index.py").read_text())
    constants = {t.id: ast.literal_eval(node.value) for node in source.body if isinstance(node, ast.Assign)
                 for t in node.targets if isinstance(t, ast.Name) and t.id == "QUERIES"}  # fmt: skip
    rows = {}
    for line in table("index"):
        m = re.match(r"^(nearest_each k=1|k_nearest_each k=8)\s+uniform\s+(\d+)\s+([\d.]+)\s+([\d.]+)", line)
        if m:
            per_query = 1e3 / constants["QUERIES"]  # ms per batch -> us per query
            rows.setdefault(m[1], []).append((int(m[2]), float(m[3]) * per_query, float(m[4]) * per_query))
    smallest = min(n for points in rows.values() for n, _, _ in points)
    scan = sorted((n, us) for n, us in bulk_times("search stride 1").items() if n >= smallest)
    fig, ax = plt.subplots(figsize=(WIDTH, 5.6))
    for row, style, k in (("nearest_each k=1", "-", 1), ("k_nearest_each k=8", "--", 8)):
        points = sorted(rows[row])
        ns = [p[0] for p in points]
        ax.plot(ns, [p[1] for p in points], style, marker="o", color=BLUE, linewidth=2, label=f"PointIndex, k = {k}")
        ax.plot(ns, [p[2] for p in points], style, marker="s", color=GREY, linewidth=2, label=f"cKDTree, k = {k}")
    ax.plot([n for n, _ in scan], [us for _, us in scan], ":", marker="^", color=ORANGE, linewidth=2,
            label="full scan, minimum_distance_to(q, 1)")  # fmt: skip
    ax.set(xscale="log", yscale="log")
    ax.set(xlabel="points in the cloud (n)", ylabel="microseconds per query")
    ax.grid(which="major", color="#dddddd", linewidth=0.8)
    # Above the plot, where it covers no line.
    ax.legend(fontsize=FONT - 1, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, frameon=False)
    footnote(fig, "index")
    fig.tight_layout(rect=(0, 0.1, 1, 1))
    return fig


def bulk_times(operation):
    """{n: lumora microseconds} of one row of the kept bulk table."""
    out = {}
    for line in table("bulk"):
        m = re.match(rf"^{re.escape(operation)}\s+(\d+)\s+([\d.]+)", line)
        if m:
            out[int(m[1])] = float(m[2])
    return out


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
    fig, views = plt.subplots(1, 2, figsize=(WIDTH, 3.6), subplot_kw={"projection": "3d"})
    fig.subplots_adjust(left=0, right=1, bottom=-0.06, top=0.86, wspace=0)
    views[0].scatter(*scan[keep].T, s=0.5, color=GREY, alpha=0.5)
    views[0].scatter(*scan[~keep].T, s=6, color=RED, label=f"dropped: {np.count_nonzero(~keep)} points")
    views[0].set_title(f"{len(scan)} points,\nstatistical_inliers(index, 20, 2.0)")
    views[0].legend(fontsize=FONT - 1, loc="upper left", frameon=False)
    views[1].scatter(*down.T, s=4, color=BLUE)
    views[1].quiver(*down.T, *(0.08 * n).T, color=ORANGE, linewidth=0.8)
    views[1].set_title(f"voxel_down_sample(kept, 0.1):\n{len(down)} points, normals")
    for ax in views:
        ax.view_init(elev=25, azim=40)
        ax.set_axis_off()
    return fig


DRAWINGS = {f.__name__: f for f in (rotation, rigid, search, pool, performance, calls, index, cloud, registration)}


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
