"""A description of the machine a run came from, for the report: ratios mean little without it."""

import os
import platform
import sys
import time


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def describe_machine():
    try:
        import treetally  # noqa: F401
        from importlib import metadata

        version = metadata.version("treetally")
    except Exception:
        version = "?"
    return {
        "cpu": cpu_model(),
        "nproc": os.cpu_count(),
        "load_average": os.getloadavg()[0] if hasattr(os, "getloadavg") else None,
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
        "system": "%s %s" % (platform.system(), platform.release()),
        "treetally": version,
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "executable": sys.executable,
    }


def status_bytes(field):
    """A byte figure of this process from /proc/self/status (VmRSS, VmHWM...)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no " + field)


def reset_peak():
    """Resets the kernel's high-water mark of the resident set (VmHWM) to the current size, so
    that a peak counts only what follows; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False
