"""A description of the machine and interpreter that recorded a trace."""

from __future__ import annotations

import os
import platform
import sys
from typing import Dict


def environment() -> Dict[str, str]:
    """Facts about this process, as a dict of str to str."""
    return {
        "python_version": platform.python_version(),
        "python_implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "system": platform.system(),
        "machine": platform.machine(),
        "executable": sys.executable or "",
        "pid": str(os.getpid()),
    }
