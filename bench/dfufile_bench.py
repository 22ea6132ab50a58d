#!/usr/bin/env python3
"""Peak resident memory and wall time of `hiddfu dfufile` on a 256 MiB DFU file, beside a plain
read of the same file (`cat file > /dev/null`) in the same run.

Target: peak RSS at most the file size plus 8 MiB.

    bench/dfufile_bench.py [build directory, default build/bench] [image MiB, default 256]

The build directory must hold hiddfu and mkdfu (cmake --build <dir> --target hiddfu mkdfu).
"""
import os
import resource
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build/bench"
mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
hiddfu = os.path.join(build, "hiddfu")
mkdfu = os.path.join(build, "mkdfu")


def measure(argv):
    """Wall seconds and peak RSS in KiB of one child, run alone."""
    pid_start = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        process = subprocess.Popen(argv, stdout=sink)
        _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - pid_start
    if status != 0:
        sys.exit(f"{argv[0]} failed with status {status}")
    return wall, usage.ru_maxrss


with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as directory:
    path = os.path.join(directory, "bench.dfu")
    # The image fills the file to exactly `mib` MiB with its 8 auxiliary bytes and 16-byte suffix.
    size = mib * 1024 * 1024
    subprocess.run([mkdfu, path, str(size - 24)], check=True)
    assert os.path.getsize(path) == size

    measure(["cat", path])  # warm the page cache so both runs read from memory
    cat_wall, cat_rss = measure(["sh", "-c", 'cat "$0" > /dev/null', path])
    runs = [measure([hiddfu, "dfufile", path]) for _ in range(3)]
    wall = min(run[0] for run in runs)
    rss_kib = max(run[1] for run in runs)

    limit_kib = size // 1024 + 8 * 1024
    print(f"file size:        {size / 2**20:.1f} MiB")
    print(f"cat > /dev/null:  {cat_wall:.3f} s")
    print(f"hiddfu dfufile:   {wall:.3f} s (best of 3), {size / 1e6 / wall:.0f} MB/s")
    print(f"peak RSS:         {rss_kib / 1024:.1f} MiB (limit {limit_kib / 1024:.1f} MiB): "
          f"{'ok' if rss_kib <= limit_kib else 'OVER'}")
    sys.exit(0 if rss_kib <= limit_kib else 1)
