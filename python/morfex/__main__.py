from morfex.cli import main

raise SystemExit(main())
