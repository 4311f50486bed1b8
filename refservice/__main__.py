"""python3 -m refservice ..., from the folder that holds refservice/."""

import sys

from .cli import main

sys.exit(main())
