# Cross build for the gateway (64-bit Arm) with Debian's cross compilers and the arm64
# multiarch libraries (dpkg --add-architecture arm64; apt-get install libdbus-1-dev:arm64 ...).
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(SM_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${SM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SM_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${SM_TRIPLET})

# Libraries and headers come from the arm64 multiarch folders of this very root; programs
# (pkg-config, python3, dbus-daemon for the tests) from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH / /usr/${SM_TRIPLET})
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# The triplet-prefixed pkg-config reads only the arm64 .pc files.
set(PKG_CONFIG_EXECUTABLE ${SM_TRIPLET}-pkg-config CACHE FILEPATH "")

# Test programs run under qemu-user when no binfmt handler runs them directly.
find_program(SM_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(SM_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SM_QEMU_AARCH64})
endif()
