#!/usr/bin/env python3
"""Tessaly reference service: the documented way to run it.

    refservice.py make-certs [--state-dir DIR]
    refservice.py actions
    refservice.py serve [--port N] [--state-dir DIR] [--host ADDR ...]
                        [--stdin-watch] [--ready-file PATH]
    refservice.py identify|requests|config|reset [--url URL] [--state-dir DIR]

Python 3 standard library, the openssl command line tool, and for HTTP/2
Debian's python3-h2. Run "refservice.py --help" or read README.md beside
this file for details.
"""

import os
import sys

if __name__ == "__main__":
    # Run as a script, this file's folder comes first on sys.path, and this
    # very file would then be found as "refservice" instead of the package
    # it belongs to: look for packages one folder up instead.
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.path and os.path.abspath(sys.path[0] or os.curdir) == here:
        sys.path[0] = os.path.dirname(here)
    from refservice.cli import main
    sys.exit(main())
