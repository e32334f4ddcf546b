"""Lists the files of the standard library the resolver needs, relative to the
library folder (lib/python3.X), one a line: what the interpreter imports at
start-up and every module PSNID.py imports, followed to the end (through the
resolver's own modules beside it).

    python3.X python_files.py <PSNID.py>
"""

import modulefinder
import os
import sys
import sysconfig

STDLIB = sysconfig.get_paths()["stdlib"]
# Imported by the interpreter itself before any code runs, or by name at run
# time (codecs are looked up by their encoding's name).
START_UP = ["site", "os", "encodings", "_sysconfigdata_" + sys.abiflags + "_linux_" +
            sys.implementation._multiarch]
WHOLE_PACKAGES = ["encodings"]


def stdlib_relative(path):
    path = os.path.realpath(path)
    inside = path.startswith(STDLIB + os.sep)
    return os.path.relpath(path, STDLIB) if inside else None


def main():
    resolver_folder = os.path.dirname(os.path.abspath(sys.argv[1]))
    finder = modulefinder.ModuleFinder(
        path=[resolver_folder] + sys.path,
        excludes=["tkinter", "test", "unittest", "pydoc", "idlelib", "lib2to3", "ensurepip",
                  "pdb", "doctest", "readline"])
    for name in START_UP:
        try:
            finder.import_hook(name)
        except ImportError:
            pass
    for package in WHOLE_PACKAGES:
        for name in os.listdir(os.path.join(STDLIB, package)):
            if name.endswith(".py") and name != "__init__.py":
                finder.import_hook(package + "." + name[:-3])
    finder.run_script(sys.argv[1])
    files = set()
    for module in finder.modules.values():
        relative = module.__file__ and stdlib_relative(module.__file__)
        if relative:
            files.add(relative)
    print("\n".join(sorted(files)))


if __name__ == "__main__":
    main()
