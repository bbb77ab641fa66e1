# Cross-compiles for another Debian architecture with its Debian cross
# compiler (g++-<triplet>), and runs what it builds (the tests, the program
# under test) with qemu-user-static, named here: no binfmt handler is used or
# needed. Included by the small files in toolchain/, one per target, which set
# CMAKE_SYSTEM_PROCESSOR, hexshow_triplet and hexshow_qemu first. A target
# this kernel runs itself (i386 on x86-64) runs natively through the sysroot's
# dynamic loader instead, which shows what a kernel of its own would do.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${hexshow_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${hexshow_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${hexshow_triplet})

# Libraries, headers and packages come from the target's root file system,
# unless the build says otherwise (-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH
# for a package installed elsewhere).
set(hexshow_sysroot /usr/${hexshow_triplet})
set(CMAKE_FIND_ROOT_PATH ${hexshow_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
foreach(kind IN ITEMS LIBRARY INCLUDE PACKAGE)
  if(NOT CMAKE_FIND_ROOT_PATH_MODE_${kind})
    set(CMAKE_FIND_ROOT_PATH_MODE_${kind} ONLY)
  endif()
endforeach()

set(HEXSHOW_EMULATED ON)
if(hexshow_loader)
  execute_process(COMMAND ${hexshow_sysroot}/lib/${hexshow_loader} --version
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(NOT failed)
    set(HEXSHOW_EMULATED OFF)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${hexshow_sysroot}/lib/${hexshow_loader}
      --library-path ${hexshow_sysroot}/lib)
  endif()
endif()
find_program(HEXSHOW_QEMU ${hexshow_qemu})
if(HEXSHOW_EMULATED AND HEXSHOW_QEMU)
  # The sysroot's libraries, not those the host's ld.so.cache names.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HEXSHOW_QEMU} -L ${hexshow_sysroot}
    -E LD_LIBRARY_PATH=${hexshow_sysroot}/lib)
endif()
