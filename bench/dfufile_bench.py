#!/usr/bin/env python3
"""Peak resident memory and wall time of `hiddfu dfufile` on a 256 MiB DFU file, beside a plain
read of the same file (`cat file > /dev/null`) and, when dfu-util is installed, its suffix check
(`dfu-suffix -c file`, which reads the file and verifies the CRC too) in the same run.

Targets: peak RSS at most the file size plus 8 MiB; at least 4x faster than `dfu-suffix -c`.

    bench/dfufile_bench.py [build directory, default build/bench] [image MiB, default 256]

The build directory must hold hiddfu and mkdfu (cmake --build <dir> --target hiddfu mkdfu).
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build/bench"
mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
hiddfu = os.path.join(build, "hiddfu")
mkdfu = os.path.join(build, "mkdfu")


def measure(argv):
    """Wall seconds, peak RSS in KiB and CPU seconds (user and system) of one child, run alone."""
    pid_start = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        process = subprocess.Popen(argv, stdout=sink)
        _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - pid_start
    if status != 0:
        sys.exit(f"{argv[0]} failed with status {status}")
    return wall, usage.ru_maxrss, usage.ru_utime + usage.ru_stime


with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as directory:
    path = os.path.join(directory, "bench.dfu")
    # The image fills the file to exactly `mib` MiB with its 8 auxiliary bytes and 16-byte suffix.
    size = mib * 1024 * 1024
    subprocess.run([mkdfu, path, str(size - 24)], check=True)
    assert os.path.getsize(path) == size

    measure(["cat", path])  # warm the page cache so both runs read from memory
    cat_wall = measure(["sh", "-c", 'cat "$0" > /dev/null', path])[0]
    runs, reference_walls = [], []
    reference = shutil.which("dfu-suffix")
    for _ in range(3):  # interleaved, so that a busy moment hits both alike
        runs.append(measure([hiddfu, "dfufile", path]))
        if reference:
            reference_walls.append(measure([reference, "-c", path]))
    wall = min(run[0] for run in runs)
    rss_kib = max(run[1] for run in runs)
    cpu = min(run[2] for run in runs)

    limit_kib = size // 1024 + 8 * 1024
    print(f"file size:        {size / 2**20:.1f} MiB")
    print(f"cat > /dev/null:  {cat_wall:.3f} s")
    print(f"hiddfu dfufile:   {wall:.3f} s (best of 3), {size / 1e6 / wall:.0f} MB/s, CPU {cpu:.3f} s")
    print(f"peak RSS:         {rss_kib / 1024:.1f} MiB (limit {limit_kib / 1024:.1f} MiB): "
          f"{'ok' if rss_kib <= limit_kib else 'OVER'}")
    fast = True
    if reference:
        reference_wall = min(run[0] for run in reference_walls)
        reference_cpu = min(run[2] for run in reference_walls)
        fast = reference_wall >= 4 * wall
        print(f"dfu-suffix -c:    {reference_wall:.3f} s (best of 3), CPU {reference_cpu:.3f} s: hiddfu "
              f"{reference_wall / wall:.1f}x faster (CPU {reference_cpu / cpu:.1f}x; target 4x): "
              f"{'ok' if fast else 'BELOW'}")
    else:
        print("dfu-suffix -c:    not installed (Debian package dfu-util), not compared")
    sys.exit(0 if rss_kib <= limit_kib and fast else 1)
