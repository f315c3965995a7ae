import sys

from benchmarks.runner import main

sys.exit(main())
