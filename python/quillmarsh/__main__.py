"""``python -m quillmarsh``: the command-line client (see ``quillmarsh.cli``)."""

import sys

from quillmarsh.cli import main

sys.exit(main())
