# Prints what the build needs to know of the interpreter running this script,
# one "KEY=value" line each, for CMake. Runs under Python 2.6, 2.7 and 3.
import os
import sys

version = "%d.%d" % sys.version_info[:2]
debug = hasattr(sys, "gettotalrefcount")
abiflags = getattr(sys, "abiflags", "")
if sys.version_info[0] >= 3:
    name = "python" + version + abiflags
else:
    name = "python" + version + ("_d" if debug else "")

prefixes = []
for p in (sys.prefix, sys.exec_prefix):
    if p not in prefixes:
        prefixes.append(p)

includes = []
for p in prefixes:
    for d in (os.path.join(p, "include", name), os.path.join(p, "include")):
        if os.path.isdir(d) and d not in includes:
            includes.append(d)

library = ""
libname = "lib" + name + ".so"
for p in prefixes:
    for sub in ("lib/x86_64-linux-gnu", "lib64", "lib"):
        candidate = os.path.join(p, sub, libname)
        if os.path.exists(candidate):
            library = candidate
            break
    if library:
        break

if sys.version_info[0] >= 3:
    import sysconfig
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    site_packages = sysconfig.get_paths()["platlib"]
else:
    from distutils.sysconfig import get_python_lib
    suffix = ".so"
    site_packages = get_python_lib(True)

print("PY_VERSION=" + version)
print("PY_MAJOR=" + str(sys.version_info[0]))
print("PY_DEBUG=" + ("1" if debug else "0"))
print("PY_INCLUDE_DIRS=" + ",".join(includes))
print("PY_LIBRARY=" + library)
print("PY_EXT_SUFFIX=" + suffix)
print("PY_SITE_PACKAGES=" + site_packages)
