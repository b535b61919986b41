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
