import sys

from quib.cli import main

sys.exit(main())
