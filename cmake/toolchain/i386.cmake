# Debian i386: i686-linux-gnu, run with its loader where this kernel runs 32-bit x86 programs, else qemu-i386-static.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(hexshow_triplet i686-linux-gnu)
set(hexshow_qemu qemu-i386-static)
set(hexshow_loader ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/../cross.cmake)
