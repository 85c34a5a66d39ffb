import sys

from vext.cli import main

sys.exit(main())
