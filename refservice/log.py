"""One log line per event on standard error."""

import sys
import time


def log(message):
    # Whoever started us may not read our standard error (a Windows process
    # under wine cannot): a log line that cannot be written is dropped, and
    # the service goes on.
    try:
        sys.stderr.write("%s %s\n" % (time.strftime("%H:%M:%S"), message))
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
