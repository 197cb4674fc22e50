#!/usr/bin/env python3
"""The device side of the seam, configured, compiled and linked for the
module against a stand-in SDK sysroot made from the vendor table.

  device_build_check.py --source DIR --work DIR --toolchain FILE --cc CC \
      --nm NM --readelf READELF [--generator G] [--launcher ccache]

Checks, in order: the device build links (--no-undefined: a vendor symbol the
agent takes that the table lacks is a link failure); the library is an ARM
ELF that needs every vendor library the table gives symbols for; every symbol
of the table is one the library really takes; a sysroot lacking one symbol
of the table fails the link, naming it.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys


def run(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def fail(msg, out=""):
    if out:
        sys.stdout.write(out[-6000:] + "\n")
    print(f"FAIL: {msg}")
    sys.exit(1)


def main():
    ap = argparse.ArgumentParser()
    for a in ("--source", "--work", "--toolchain", "--cc", "--nm", "--readelf"):
        ap.add_argument(a, required=True)
    ap.add_argument("--generator", default="")
    ap.add_argument("--launcher", default="")
    a = ap.parse_args()

    table = os.path.join(a.source, "src/platform/device/vendor_symbols.txt")
    tool = os.path.join(a.source, "tools/vendor_sysroot.py")
    sysroot = os.path.join(a.work, "sysroot")
    build = os.path.join(a.work, "build")
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)

    sys.path.insert(0, os.path.dirname(tool))
    import vendor_sysroot  # noqa: E402

    rows = vendor_sysroot.read_table(table)
    wanted = {s for _, _, syms in rows for s in syms}

    def make_sysroot(omit=None):
        shutil.rmtree(sysroot, ignore_errors=True)
        argv = [sys.executable, tool, table, "sysroot", sysroot, "--cc", a.cc] + (["--omit", omit] if omit else [])
        r = run(argv)
        if r.returncode != 0:
            fail("cannot make the stand-in sysroot", r.stdout)

    make_sysroot()
    conf = ["cmake", "-S", a.source, "-B", build, f"-DCMAKE_TOOLCHAIN_FILE={a.toolchain}",
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTELAGENT_PLATFORM=device", f"-DTELAGENT_VENDOR_SYSROOT={sysroot}",
            "-DTELAGENT_TESTS=OFF", "-DTELAGENT_INTEGRATION_TESTS=OFF", "-DTELAGENT_TOOLS=OFF"]
    if a.generator:
        conf += ["-G", a.generator]
    if a.launcher:
        conf += [f"-DCMAKE_CXX_COMPILER_LAUNCHER={a.launcher}", f"-DCMAKE_C_COMPILER_LAUNCHER={a.launcher}"]
    r = run(conf)
    if r.returncode != 0:
        fail("the device build does not configure", r.stdout)
    jobs = os.environ.get("TELAGENT_DEVICE_BUILD_JOBS", "2")
    r = run(["cmake", "--build", build, "-j", jobs, "--target", "TelAgent", "telagent-host"])
    if r.returncode != 0:
        fail("the device build does not compile and link against the vendor table", r.stdout)
    lib = os.path.join(build, "lib", "libTelAgent.so")

    hdr = run([a.readelf, "-h", lib]).stdout
    if not re.search(r"Machine:\s+ARM\b", hdr) or "ELF32" not in hdr:
        fail(f"{lib} is not a 32-bit ARM library", hdr)
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", run([a.readelf, "-d", lib]).stdout))
    for name, _, syms in rows:
        if syms and f"{name}.so" not in needed:
            fail(f"{lib} does not need {name}.so (needs {sorted(needed)})")
    undefined = set()
    for line in run([a.nm, "-D", "--undefined-only", lib]).stdout.splitlines():
        parts = line.split()
        if parts:
            undefined.add(parts[-1].split("@")[0])
    unused = sorted(wanted - undefined)
    if unused:
        fail(f"the vendor table lists symbols the agent does not take: {', '.join(unused)}")

    # A vendor symbol the SDK lacks must stop the build at the link, by name.
    omit = rows[-1][2][-1] if rows[-1][2] else sorted(wanted)[0]
    make_sysroot(omit)
    r = run(["cmake", "--build", build, "-j", jobs, "--target", "TelAgent"])
    if r.returncode == 0:
        fail(f"libTelAgent.so linked against a sysroot without {omit}")
    if f"undefined reference to `{omit}'" not in r.stdout:
        fail(f"the link failed, but not on the missing {omit}", r.stdout)
    print(f"device build for armhf links against {len(rows)} vendor libraries, {len(wanted)} symbols; "
          f"without {omit} it fails to link")
    return 0


if __name__ == "__main__":
    sys.exit(main())
