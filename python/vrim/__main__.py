"""`python -m vrim`: the command line."""

import sys

from ._cli import main

sys.exit(main())
