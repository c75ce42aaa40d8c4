# Compiles with zig for x86_64 Linux with glibc 2.17, the manylinux2014 floor,
# linking LLVM's libc++ statically: what scripts/wheel_deps.sh builds the
# bundled libraries with, and scripts/build_wheel.sh the module.
# QUORVEL_ZIG_BIN is the folder of the cc, c++, ar and ranlib wrappers that
# wheel_deps.sh writes, each running for that target the zig that the
# environment variable QUORVEL_ZIG names.
if(NOT QUORVEL_ZIG_BIN)
  message(FATAL_ERROR "Set QUORVEL_ZIG_BIN to the folder of the zig wrappers (scripts/wheel_deps.sh)")
endif()
# CMake's compiler checks run in projects of their own, which see only the
# variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVEL_ZIG_BIN)

set(CMAKE_C_COMPILER "${QUORVEL_ZIG_BIN}/cc")
set(CMAKE_CXX_COMPILER "${QUORVEL_ZIG_BIN}/c++")
set(CMAKE_AR "${QUORVEL_ZIG_BIN}/ar")
set(CMAKE_RANLIB "${QUORVEL_ZIG_BIN}/ranlib")
# Headers zig's glibc lacks that Python.h includes.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR}/zig-include")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR}/zig-include")
set(CMAKE_MODULE_LINKER_FLAGS_INIT
    "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/python-module.map")
