"""Writes the files a test-fixture generator computes, or with --check tells
which checked-in ones differ from them (the *_current tests run --check).

    sys.path.insert(0, <repo>/scripts); import fixtures
    sys.exit(fixtures.write_or_check({path: bytes, ...}, sys.argv[1:]))
"""
import os


def write_or_check(files, argv):
    check = "--check" in argv
    stale = []
    for path, data in sorted(files.items()):
        path = os.path.normpath(path)
        if check:
            try:
                with open(path, "rb") as f:
                    if f.read() != data:
                        stale.append(path)
            except OSError:
                stale.append(path)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    for path in stale:
        print("out of date: " + path)
    if not stale:
        print("fixtures %s" % ("current" if check else "written"))
    return 1 if stale else 0
