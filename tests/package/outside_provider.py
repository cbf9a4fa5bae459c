"""A provider that Debian's python3 runs against the installed python3-cpclient: one group
with one row and task answers. Exits 1 unless the agent shut it down and the library came
from the system's loader by its SONAME."""
import sys

import cpclient
from cpclient import _native

provider = cpclient.Provider()


@provider.group("Outside", 1)
def outside(request):
    yield ("outside", 1)


@provider.task()
def task(request):
    return 0, [request.command]


outcome = provider.run(reconnect=False)
if _native.loaded_path() != _native.SONAME:
    sys.exit(f"outside_provider.py: the library came from {_native.loaded_path()}, not the loader")
sys.exit(0 if outcome == "shutdown" else f"outside_provider.py: run ended with {outcome}")
