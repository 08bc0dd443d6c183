import sys

from .cli import main

if __name__ == "__main__":  # not when a worker process of `tavelin serve --workers N` re-reads this module
    sys.exit(main())
