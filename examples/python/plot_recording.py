#!/usr/bin/env python3
"""Plots a recording made by `keltoctl record` into a PNG.

    plot_recording.py FILE.h5 [NAME...] [--output FILE.png]

Every numeric variable named (all of them by default) is drawn against the
seconds since the recording started, one panel each, with the recording's
events ("resync", "table gone", ...) as vertical lines. Text variables are
left out. Needs h5py and matplotlib (Debian: python3-h5py, python3-matplotlib).
"""

import argparse
import fnmatch
import pathlib

import h5py
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the backend)


def chosen_names(variables, patterns):
    names = [name for name in variables if variables[name].dtype["value"].kind in "uif"]
    if not patterns:
        return names
    return [name for name in names
            if any(fnmatch.fnmatchcase(variables[name].attrs["name"].decode("latin-1"), pattern)
                   for pattern in patterns)]


def plot(path, patterns, output):
    with h5py.File(path, "r", swmr=True) as recording:
        variables = recording["variables"]
        names = chosen_names(variables, patterns)
        if not names:
            raise SystemExit("plot_recording.py: no numeric variable to plot")
        events = recording["events"][:]
        start = events["time"][0]
        figure, axes = plt.subplots(len(names), 1, sharex=True, squeeze=False,
                                    figsize=(9, 1.2 + 1.6 * len(names)))
        for axis, name in zip(axes[:, 0], names):
            rows = variables[name][:]
            # A value holds until the next row: drawn as steps.
            axis.step((rows["time"] - start) / 1e9, rows["value"], where="post")
            axis.set_ylabel(variables[name].attrs["name"].decode("latin-1"), rotation=0,
                            ha="right", va="center")
            for time, kind, _ in events:
                if kind not in (b"start", b"stop"):
                    axis.axvline((time - start) / 1e9, color="tab:red", linestyle=":")
        axes[-1, 0].set_xlabel("seconds since " + recording.attrs["start_time"].decode())
        figure.suptitle(f"{pathlib.Path(path).name}: segment "
                        f"{recording.attrs['segment'].decode()}")
        figure.tight_layout()
        figure.savefig(output, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("names", nargs="*", metavar="NAME",
                        help="variable names or shell patterns (default: all)")
    parser.add_argument("--output", help="the PNG to write (default: FILE with .png)")
    arguments = parser.parse_args()
    output = arguments.output or str(pathlib.Path(arguments.file).with_suffix(".png"))
    plot(arguments.file, arguments.names, output)
    print(output)


if __name__ == "__main__":
    main()
