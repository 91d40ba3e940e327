from zo.cli import main

raise SystemExit(main())
