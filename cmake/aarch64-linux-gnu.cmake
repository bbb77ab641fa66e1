# Cross-compiles for aarch64 Linux with Debian's g++-aarch64-linux-gnu, and
# runs what it builds (the tests, the program under test) with
# qemu-aarch64-static from Debian's qemu-user-static, named here: no binfmt
# handler is used or needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Libraries, headers and packages come from the target's root file system,
# unless the build says otherwise (-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH
# for a package installed elsewhere).
set(hexshow_sysroot /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${hexshow_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
foreach(kind IN ITEMS LIBRARY INCLUDE PACKAGE)
  if(NOT CMAKE_FIND_ROOT_PATH_MODE_${kind})
    set(CMAKE_FIND_ROOT_PATH_MODE_${kind} ONLY)
  endif()
endforeach()

find_program(HEXSHOW_QEMU qemu-aarch64-static)
if(HEXSHOW_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HEXSHOW_QEMU} -L ${hexshow_sysroot})
endif()
