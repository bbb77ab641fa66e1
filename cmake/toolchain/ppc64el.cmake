# Debian ppc64el: powerpc64le-linux-gnu, run with qemu-ppc64le-static.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(hexshow_triplet powerpc64le-linux-gnu)
set(hexshow_qemu qemu-ppc64le-static)
include(${CMAKE_CURRENT_LIST_DIR}/../cross.cmake)
