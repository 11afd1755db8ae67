import sys

from morvel_cli.main import main

sys.exit(main())
